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

;; A forced promise became a copy of its value's cell: a string's text then had two owners (released
;; twice once both were garbage), a vector lost its elements, and () or #f was no longer itself.
(define forced (map (lambda (make) (delay (make)))
                    (list (lambda () (make-string 2 #\a)) (lambda () (vector 1 2))
                          (lambda () '()) (lambda () #f) (lambda () 'sym))))
(define first-values (map force forced))
(check "forced promises give their very value again" (map eq? first-values (map force forced)) '(#t #t #t #t #t))
(check "a forced vector keeps its elements" (force (cadr forced)) (vector 1 2))
(check "forced () and #f stay themselves" (list (null? (force (caddr forced))) (force (cadddr forced))) '(#t #f))
(set! forced #f)
(set! first-values #f)
(gc)

(check-report)
