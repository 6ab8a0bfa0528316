;;; Error messages and irritants as *error-hook* sees them, and what the hook's value does.

(define (raised thunk) (error-of thunk))

(check "wrong argument type" (raised (lambda () (car 5))) '("car: argument 1 must be: pair"))
(check "wrong type, later argument" (raised (lambda () (+ 1 "a"))) '("+: argument 2 must be: number"))
(check "negative index" (raised (lambda () (vector-ref (vector 1) -1))) '("vector-ref: argument 2 must be: non-negative integer"))
(check "too few arguments to a primitive" (raised (lambda () (eval '(car)))) '("car: needs 1 argument(s)"))
(check "too many arguments to a primitive" (raised (lambda () (eval '(cons 1 2 3)))) '("cons: needs 2 argument(s)"))
(check "too few arguments to a closure" (raised (lambda () ((lambda (x y) x) 1))) '("not enough arguments"))
(check "unbound variable" (raised (lambda () (eval 'no-such-variable))) '("eval: unbound variable:" no-such-variable))
(check "set! of an unbound variable" (raised (lambda () (eval '(set! no-such-variable 1)))) '("set!: unbound variable:" no-such-variable))
(check "calling a non-procedure" (raised (lambda () (eval '(5 1)))) '("illegal function"))
(check "vector index past the end" (raised (lambda () (vector-ref (vector 1 2) 2))) '("vector-ref: out of bounds:" 2))
(check "string literals are immutable" (raised (lambda () (string-set! "abc" 0 #\x))) '("string-set!: unable to alter immutable string:" "abc"))
(check "made strings are not" (let ((s (make-string 2 #\a))) (string-set! s 0 #\b) s) "ba")
(check "substring bounds" (raised (lambda () (substring "hello" 2 1))) '("substring: end out of bounds:" 1))
(check "length of an improper list" (raised (lambda () (length '(1 . 2)))) '("length: not a list:" (1 . 2)))
(check "reverse refuses the empty list" (raised (lambda () (reverse '()))) '("reverse: argument 1 must be: pair"))
(check "let* has no named form" (raised (lambda () (eval '(let* x ((a 1)) a)))) '("Let* cannot be used for a named let!"))
(check "cond without clauses" (raised (lambda () (eval '(cond)))) '("syntax error in cond"))
(check "cond => without a receiver" (raised (lambda () (eval '(cond (1 =>))))) '("syntax error in cond"))
(check "error with irritants" (raised (lambda () (error "bad thing:" 1 "x"))) '("bad thing:" 1 "x"))
(check "library errors name their procedure" (car (raised (lambda () (string->number "1" 7)))) "string->number: radix must be 2, 8, 10 or 16:")
(check "do with bad syntax" (car (raised (lambda () (eval '(do 5))))) "do: bad syntax:")

(check "the hook's value replaces the failed expression"
       (let ((saved *error-hook*))
         (set! *error-hook* (lambda (message . irritant) 100))
         (let ((r (+ 1 (car '()))))
           (set! *error-hook* saved)
           r))
       101)
(check "the hook gets the message and the irritant"
       (let ((saved *error-hook*) (seen #f))
         (set! *error-hook* (lambda args (set! seen args) 0))
         (eval 'unbound-for-hook)
         (set! *error-hook* saved)
         seen)
       '("eval: unbound variable:" unbound-for-hook))

;; A load ends the evaluation that called it, so the define below completes only through the error.
(call-with-output-file "ends-inside-a-list.scm"
  (lambda (port) (display "(define before-the-end 'ran)\n(define (f x) (+ x 1)" port)))
(define load-error (error-of (lambda () (load "ends-inside-a-list.scm"))))
(check "loading a file that ends inside a list" load-error '("syntax error: end of input inside a list"))
(check "the data before the end ran" before-the-end 'ran)

(check-report)
