;; Merge sort of 100 000 pseudo-random integers held in a list.
;; The numbers come from a linear congruential generator modulo 2^31 whose
;; products stay well inside 64 bits (and inside 53-bit doubles), so every
;; implementation draws the same sequence.

(define (lcg-next s) (modulo (+ (* s 1103515245) 12345) 2147483648))

(define (random-list n seed)
  (let loop ((i 0) (s seed) (acc '()))
    (if (= i n)
        acc
        (let ((s2 (lcg-next s)))
          (loop (+ i 1) s2 (cons (quotient s2 65536) acc))))))

;; Split into alternate elements, merge back in order.  Both are iterative
;; (accumulate, then reverse) so that no recursion goes 100 000 deep.
(define (rev l acc)
  (if (null? l) acc (rev (cdr l) (cons (car l) acc))))

(define (split l a b)
  (cond ((null? l) (cons a b))
        ((null? (cdr l)) (cons (cons (car l) a) b))
        (else (split (cddr l) (cons (car l) a) (cons (cadr l) b)))))

(define (merge a b acc)
  (cond ((null? a) (rev acc b))
        ((null? b) (rev acc a))
        ((< (car b) (car a)) (merge a (cdr b) (cons (car b) acc)))
        (else (merge (cdr a) b (cons (car a) acc)))))

(define (merge-sort l)
  (if (or (null? l) (null? (cdr l)))
      l
      (let ((halves (split l '() '())))
        (merge (merge-sort (car halves)) (merge-sort (cdr halves)) '()))))

(define (sorted? l)
  (or (null? l)
      (null? (cdr l))
      (and (<= (car l) (cadr l)) (sorted? (cdr l)))))

(define (sum l acc)
  (if (null? l) acc (sum (cdr l) (+ acc (car l)))))

(define (last l) (if (null? (cdr l)) (car l) (last (cdr l))))

(define input (random-list 100000 42))
(define output (merge-sort input))
(display (list (length output) (sorted? output) (= (sum input 0) (sum output 0))
               (car output) (last output)))
(newline)
