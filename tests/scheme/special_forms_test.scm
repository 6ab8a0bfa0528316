;;; The evaluator's special forms, each with the cases that tell a right implementation from a near miss.

(define counter 0)
(define (bump!) (set! counter (+ counter 1)) counter)

(check "quote keeps the datum" '(a . #(b "c")) (cons 'a (vector 'b "c")))
(check "lambda ignores surplus arguments" ((lambda (x) x) 1 2) 1)
(check "lambda rest lists" (list ((lambda (a . rest) rest) 1 2 3) ((lambda args args))) '((2 3) ()))
(check "define returns its name" (define (f a b) a) 'f)
(check "internal defines are local"
       (let () (define x 1) (define (g) (+ x 1)) (g)) 2)
(check "if without else gives ()" (if #f 1) '())
(check "only #f is false" (map (lambda (x) (if x 'y 'n)) (list '() 0 "" #f)) '(y y y n))
(check "begin gives the last value" (begin 1 2 3) 3)
(check "set! changes the nearest binding"
       (let ((x 1)) (let ((f (lambda () (set! x 2)))) (f) x)) 2)

(check "let binds in parallel" (let ((x 1)) (let ((x 2) (y x)) y)) 1)
(check "named let loops" (let loop ((i 0) (acc '())) (if (= i 3) acc (loop (+ i 1) (cons i acc)))) '(2 1 0))
(check "named let's name is a procedure inside only"
       (let ((loop 'outer)) (let loop ((i 0)) (if (< i 1) (loop 1) i)) loop) 'outer)
(check "let* binds in sequence" (let* ((x 1) (y (+ x 1)) (x (* y 10))) x) 20)
(check "let* without bindings" (let* () 5) 5)
(check "letrec mutual recursion"
       (letrec ((ev? (lambda (n) (if (= n 0) #t (od? (- n 1)))))
                (od? (lambda (n) (if (= n 0) #f (ev? (- n 1))))))
         (list (ev? 10) (od? 7)))
       '(#t #t))

(check "cond picks the first true clause" (cond (#f 1) ((= 1 1) 2) (else 3)) 2)
(check "cond test-only clause gives the test's value" (cond ((memv 2 '(1 2 3))) (else 'no)) '(2 3))
(check "cond => passes the value" (cond ((assv 2 '((1 . a) (2 . b))) => cdr) (else #f)) 'b)
(check "cond with no true clause" (cond (#f 1)) '())
(check "case finds the datum" (case (* 2 3) ((2 3 5 7) 'prime) ((1 4 6 8 9) 'composite)) 'composite)
(check "case matches characters and numbers by eqv?" (list (case #\a ((#\a) 1) (else 2)) (case 2.0 ((2) 'two) (else 'no))) '(1 two))
(check "case else, and no match" (list (case 'z ((a) 1) (else 'other)) (case 'z ((a) 1))) '(other ()))

(check "and" (list (and) (and 1 2) (and 1 #f 3)) '(#t 2 #f))
(check "or" (list (or) (or #f 2) (or #f #f)) '(#f 2 #f))
(check "and/or stop early" (begin (set! counter 0) (and #f (bump!)) (or 1 (bump!)) counter) 0)

(check "delay is forced once"
       (begin (set! counter 0)
              (let ((p (delay (bump!)))) (list (force p) (force p) counter)))
       '(1 1 1))
(check "force of a non-promise" (force 7) 7)
(define (integers-from n) (cons-stream n (integers-from (+ n 1))))
(define (stream-take s n) (if (= n 0) '() (cons (car s) (stream-take (force (cdr s)) (- n 1)))))
(check "cons-stream delays its tail" (stream-take (integers-from 5) 4) '(5 6 7 8))
(check "cons-stream tail computed once"
       (begin (set! counter 0)
              (let ((s (cons-stream 1 (bump!)))) (force (cdr s)) (force (cdr s)) counter))
       1)

(macro (my-unless form) (list 'if (cadr form) #f (cons 'begin (cddr form))))
(check "macro receives the whole form" (list (my-unless #f 1 2) (my-unless #t 1)) '(2 #f))
(macro swap-args (lambda (form) (list (cadr form) (cadddr form) (caddr form))))
(check "macro from a procedure" (swap-args - 1 10) 9)
(check "a macro is not a procedure" (list (macro? my-unless) (procedure? my-unless)) '(#t #f))
(check "get-closure-code" (get-closure-code (lambda (x) (* x x))) '(lambda (x) (* x x)))
(check "eval in the global environment" (eval '(* 6 7) (interaction-environment)) 42)
(check "apply splices its last argument" (apply + 1 2 '(3 4)) 10)

(check-report)
