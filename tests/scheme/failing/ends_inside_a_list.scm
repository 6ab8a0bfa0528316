;;; A file whose last datum is never closed: the data before it run, then the load fails.
(display "ran")
(define (unfinished x) (+ x 1)
