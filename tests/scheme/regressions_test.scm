;;; Faults that were found and mended; each case states what it must give.

;; 65535 as a primitive's maximum argument count means no limit.
(check "apply of + to 70 000 numbers" (apply + (make-list 70000 1)) 70000)
(check "apply of string-append to 70 000 strings" (string-length (apply string-append (make-list 70000 "a"))) 70000)

;; Leaving *error-hook* through a continuation (the usual way to catch an error) must not switch
;; the hook off: the second error below reaches the hook too.
(define (catch-directly thunk)
  (call-with-current-continuation
   (lambda (k)
     (let ((saved *error-hook*))
       (set! *error-hook* (lambda (message . irritant) (set! *error-hook* saved) (k message)))
       (thunk)))))
(check "first error caught through the hook" (catch-directly (lambda () (car '()))) "car: argument 1 must be: pair")
(check "second error caught through the hook" (catch-directly (lambda () (cdr '()))) "cdr: argument 1 must be: pair")

(check-report)
