;;; Tail calls run in constant space: each loop below would hold a million pending frames otherwise.

(define million 1000000)

(check "named let, a million times"
       (let loop ((i 0) (sum 0)) (if (= i million) sum (loop (+ i 1) (+ sum 1))))
       million)

(define (ping n) (if (= n 0) 'done (pong (- n 1))))
(define (pong n) (if (= n 0) 'done (ping (- n 1))))
(check "mutual recursion, a million calls" (ping million) 'done)

;; the last expression of and, or, cond, case, when and begin is a tail position too
(define (through-forms n)
  (cond ((= n 0) 'end)
        ((odd? n) (and #t (or #f (through-forms (- n 1)))))
        (else (case (modulo n 4)
                ((0) (begin (through-forms (- n 1))))
                (else (when #t (through-forms (- n 1))))))))
(check "tail positions of the derived forms" (through-forms 300000) 'end)

(check "do loop" (do ((i 0 (+ i 1)) (acc 0 (+ acc 2))) ((= i 300000) acc)) 600000)
(check "apply in tail position"
       (let loop ((i 300000)) (if (= i 0) 'ok (apply loop (list (- i 1)))))
       'ok)

(check-report)
