;;; A recursion with no end: the evaluation ends with "No memory!", an error like any other.
(define (deep n) (+ 1 (deep (+ n 1))))
(display "ran")
(deep 0)
