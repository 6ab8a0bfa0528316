;; A tail-recursive loop of 10 million steps: proper tail calls keep it in
;; constant space, so this measures the bare cost of a call and a test.

(define (loop i acc)
  (if (= i 0)
      acc
      (loop (- i 1) (+ acc 3))))

(display (loop 10000000 0))
(newline)
