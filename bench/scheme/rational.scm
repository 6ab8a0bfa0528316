;; Exact rational arithmetic as music timing uses it.
;; 1. Beat positions: a million note durations cycling through 1/3, 1/4,
;;    1/6, 1/8 and 1/12 of a beat are summed exactly, counting the notes
;;    that start on a whole beat.
;; 2. Harmonic numbers H(1) ... H(40), each summed afresh.
;; Numerators and denominators stay small enough for 64-bit integers
;; (H(40) has a 16-digit denominator).

(define durations (vector 1/3 1/4 1/6 1/8 1/12))

;; pos: where the next note starts; beat: the first whole beat not yet passed.
(define (play i n pos beat on-beat)
  (cond ((= i n) (list pos on-beat))
        ((< pos beat)
         (play (+ i 1) n (+ pos (vector-ref durations (remainder i 5))) beat on-beat))
        ((= pos beat)
         (play (+ i 1) n (+ pos (vector-ref durations (remainder i 5))) (+ beat 1) (+ on-beat 1)))
        (else (play i n pos (+ beat 1) on-beat))))

(define (harmonic n)
  (let loop ((k 1) (h 0))
    (if (> k n) h (loop (+ k 1) (+ h (/ 1 k))))))

;; For each whole number m from 2 on, the first n with H(n) > m, computing
;; every H(n) afresh; H(31) is the first above 4.  Only sums of 1/k and
;; comparisons with whole numbers are formed: subtracting two harmonic
;; numbers multiplies their denominators, past 64 bits from H(26) on.
(define (thresholds n)
  (let loop ((k 1) (m 2) (found '()))
    (cond ((> k n) (reverse found))
          ((> (harmonic k) m) (loop (+ k 1) (+ m 1) (cons k found)))
          (else (loop (+ k 1) m found)))))

(define beats (play 0 1000000 0 0 0))
(display (list (car beats) (cadr beats) (thresholds 40) (harmonic 40)))
(newline)
