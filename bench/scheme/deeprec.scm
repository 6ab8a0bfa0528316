;; A non-tail recursion one million calls deep: every pending addition
;; stays on the interpreter's stack until the bottom is reached, so this
;; measures deep-stack growth and unwinding.

(define (count n)
  (if (= n 0)
      0
      (+ 1 (count (- n 1)))))

(display (count 1000000))
(newline)
