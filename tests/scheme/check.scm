;;; check.scm -- the harness the Scheme test files run under (loaded before each of them).
;;;
;;;   (check name expr expected)      passes when expr gives a value equal? to expected
;;;   (check-error name thunk [text]) passes when calling thunk raises an error (with that message)
;;;   (error-of thunk)                the (message irritant...) of the error thunk raises, or #f
;;;   (check-report)                  prints "N passed, M failed"; exits with status 1 on failures
;;;
;;; Errors are caught whether the interpreter raises them (through *error-hook*) or Scheme code
;;; calls error, which is rebound while a check runs.

(define %passed 0)
(define %failed 0)
(define %handler #f)

(define *error-hook*
  (lambda (message . irritant)
    (if %handler (%handler message irritant) (apply error message irritant))))

;; (#t . value) when thunk returns, (#f message irritant...) when it raises an error.
(define (%catch thunk)
  (call-with-current-continuation
   (lambda (escape)
     (let ((old-error error) (old-handler %handler))
       (define (restore!) (set! error old-error) (set! %handler old-handler))
       (define (fail message irritants)
         (restore!)
         (escape (cons #f (cons message irritants))))
       (set! %handler fail)
       (set! error (lambda (message . irritants) (fail message irritants)))
       (let ((value (thunk)))
         (restore!)
         (cons #t value))))))

(define (error-of thunk)
  (let ((outcome (%catch thunk)))
    (if (car outcome) #f (cdr outcome))))

(define (%describe outcome)
  (if (car outcome)
      (cdr outcome)
      (list 'error: (cdr outcome))))

(define (%record name ok? detail)
  (if ok?
      (set! %passed (+ %passed 1))
      (begin
        (set! %failed (+ %failed 1))
        (display "FAIL: ") (display name) (newline)
        (detail))))

(define (%check name thunk expected-thunk)
  (let ((got (%catch thunk)) (expected (%catch expected-thunk)))
    (%record name
             (and (car got) (car expected) (equal? (cdr got) (cdr expected)))
             (lambda ()
               (display "  got:      ") (write (%describe got)) (newline)
               (display "  expected: ") (write (%describe expected)) (newline)))))

(define-macro (check name expr expected)
  (list %check name (list 'lambda '() expr) (list 'lambda '() expected)))

(define (check-error name thunk . text)
  (let ((raised (error-of thunk)))
    (%record name
             (and raised (or (null? text) (equal? (car raised) (car text))))
             (lambda ()
               (display "  raised:   ") (write raised) (newline)
               (if (pair? text) (begin (display "  expected: ") (write (car text)) (newline)))))))

(define (check-report)
  (display %passed) (display " passed, ") (display %failed) (display " failed") (newline)
  (if (> %failed 0) (quit 1)))
