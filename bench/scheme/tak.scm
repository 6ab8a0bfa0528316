;; Takeuchi function: deep non-tail calls with three arguments.
;; (tak 18 12 6) is 7 and makes 63 609 calls; it runs 20 times here,
;; summing the results so no run can be skipped.
(define (tak x y z)
  (if (not (< y x))
      z
      (tak (tak (- x 1) y z)
           (tak (- y 1) z x)
           (tak (- z 1) x y))))

(define (repeat n acc)
  (if (= n 0)
      acc
      (repeat (- n 1) (+ acc (tak 18 12 6)))))

(display (repeat 20 0))
(newline)
