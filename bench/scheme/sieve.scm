;; Sieve of Eratosthenes up to 2 000 000 over odd numbers only.
;; The flags live in a vector of vectors of 10 000 flags each, so no single
;; vector is large (some implementations cap vector length).
;; Flag k stands for the odd number 2k + 1.

(define limit 2000000)
(define chunk 10000)
(define flags (quotient limit 2))       ; odd numbers 1, 3, ..., limit - 1

(define (make-table n)
  (let ((table (make-vector (quotient (+ n chunk -1) chunk))))
    (let fill ((i 0))
      (if (< i (vector-length table))
          (begin (vector-set! table i (make-vector chunk #t))
                 (fill (+ i 1)))))
    table))

(define table (make-table flags))

(define (flag k) (vector-ref (vector-ref table (quotient k chunk)) (remainder k chunk)))
(define (clear! k) (vector-set! (vector-ref table (quotient k chunk)) (remainder k chunk) #f))

;; Odd multiples of p = 2k + 1 from p*p on, stepping 2p, i.e. k steps of p.
(define (cross-out k p)
  (if (< k flags)
      (begin (clear! k) (cross-out (+ k p) p))))

(define (sieve k)
  (let ((p (+ k k 1)))
    (if (<= (* p p) limit)
        (begin (if (flag k) (cross-out (quotient (* p p) 2) p))
               (sieve (+ k 1))))))

(define (count k acc)
  (if (= k flags)
      acc
      (count (+ k 1) (if (flag k) (+ acc 1) acc))))

(clear! 0)                              ; 1 is not prime
(sieve 1)
(display (+ 1 (count 0 0)))             ; and 2 is
(newline)
