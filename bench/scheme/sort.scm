;; Merge sort of 100 000 pseudo-random integers held in a list.
;; The numbers come from a linear congruential generator modulo 2^31 whose
;; products stay inside 64 bits, so every implementation draws the same
;; sequence.  The sort is bottom-up: runs of one element are merged in
;; pairs, pass after pass, and every loop is a tail call, so nothing
;; recurses deeper than a few frames.

(define (lcg-next s) (modulo (+ (* s 1103515245) 12345) 2147483648))

(define (random-list n seed)
  (let loop ((i 0) (s seed) (acc '()))
    (if (= i n)
        acc
        (let ((s2 (lcg-next s)))
          (loop (+ i 1) s2 (cons (quotient s2 16) acc))))))

(define (rev-onto l acc)
  (if (null? l) acc (rev-onto (cdr l) (cons (car l) acc))))

;; On ties a's element comes first, so the sort is stable.
(define (merge a b acc)
  (cond ((null? a) (rev-onto acc b))
        ((null? b) (rev-onto acc a))
        ((< (car b) (car a)) (merge a (cdr b) (cons (car b) acc)))
        (else (merge (cdr a) b (cons (car a) acc)))))

(define (singletons l acc)
  (if (null? l)
      (rev-onto acc '())
      (singletons (cdr l) (cons (list (car l)) acc))))

(define (merge-pairs runs acc)
  (cond ((null? runs) (rev-onto acc '()))
        ((null? (cdr runs)) (rev-onto acc runs))
        (else (merge-pairs (cddr runs)
                           (cons (merge (car runs) (cadr runs) '()) acc)))))

(define (merge-all runs)
  (if (null? (cdr runs))
      (car runs)
      (merge-all (merge-pairs runs '()))))

(define (merge-sort l)
  (if (null? l) l (merge-all (singletons l '()))))

(define (sorted? l)
  (cond ((null? l) #t)
        ((null? (cdr l)) #t)
        ((< (cadr l) (car l)) #f)
        (else (sorted? (cdr l)))))

(define (sum l acc)
  (if (null? l) acc (sum (cdr l) (+ acc (car l)))))

(define (last l) (if (null? (cdr l)) (car l) (last (cdr l))))

;; Length, order, the same elements (by their sum), smallest and largest.
(define input (random-list 100000 42))
(define output (merge-sort input))
(display (list (length output) (sorted? output) (= (sum input 0) (sum output 0))
               (car output) (last output)))
(newline)
