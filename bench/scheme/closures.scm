;; Closure creation and calls: each step makes an adder closed over the
;; loop counter and a second closure applying it twice, then calls them.
;; A million steps make two million closures and three million calls.

(define (make-adder n) (lambda (x) (+ x n)))

(define (twice f) (lambda (x) (f (f x))))

(define (run i n acc)
  (if (= i n)
      acc
      (run (+ i 1) n ((twice (make-adder i)) acc))))

;; 2 * (0 + 1 + ... + 999 999)
(display (run 0 1000000 0))
(newline)
