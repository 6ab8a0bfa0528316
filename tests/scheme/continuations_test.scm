;;; call/cc: escapes, re-entry, generators, and dynamic-wind's before/after thunks.

(check "escape from map"
       (call/cc (lambda (k) (map (lambda (x) (if (negative? x) (k x) (* x 2))) '(1 -2 3))))
       -2)
(check "escape from for-each over several lists"
       (call/cc (lambda (k) (for-each (lambda (a b) (if (= a b) (k a))) '(1 2 3) '(3 2 1)) 'none))
       2)
(check "continuation called without a value" (call/cc (lambda (k) (k))) '())

;; Re-entering a continuation taken inside map must not disturb the lists map already returned.
(check "re-entry into map keeps earlier results"
       (let ((k #f) (results '()))
         (let ((r (map (lambda (x) (call/cc (lambda (c) (if (= x 2) (set! k c)) x))) '(1 2 3))))
           (set! results (cons r results))
           (if (< (length results) 3) (k (* 10 (length results))))
           results))
       '((1 20 3) (1 10 3) (1 2 3)))

(check "a continuation re-entered a thousand times"
       (let ((k #f) (n 0))
         (let ((v (call/cc (lambda (c) (set! k c) 0))))
           (set! n (+ n 1))
           (if (< v 1000) (k (+ v 1)) (list v n))))
       '(1000 1001))

(check "captured inside an argument list, invoked twice"
       (let ((k #f) (seen '()))
         (let ((args (list 'a (call/cc (lambda (c) (set! k c) 1)) 'b)))
           (set! seen (cons args seen))
           (if (= (length seen) 1) (k 2))
           seen))
       '((a 2 b) (a 1 b)))

;; A generator that walks a tree and hands back one leaf per call, resuming where it left off.
(define (tree-walker tree)
  (define return #f)
  (define (resume-point)
    (let walk ((t tree))
      (cond ((null? t) #f)
            ((pair? t) (walk (car t)) (walk (cdr t)))
            (else (call/cc (lambda (rest) (set! resume-point (lambda () (rest #f))) (return t))))))
    (return 'done))
  (lambda () (call/cc (lambda (r) (set! return r) (resume-point)))))
(check "generator over a tree's leaves"
       (let ((next (tree-walker '((a b) (c (d)) e))))
         (let loop ((acc '()))
           (let ((leaf (next))) (if (eq? leaf 'done) (reverse acc) (loop (cons leaf acc))))))
       '(a b c d e))

(define trail '())
(define (note x) (set! trail (cons x trail)))
(define (traced name thunk) (dynamic-wind (lambda () (note (list 'in name))) thunk (lambda () (note (list 'out name)))))

(check "dynamic-wind returns the thunk's value, thunks in order"
       (begin (set! trail '()) (list (traced 'a (lambda () (note 'body) 7)) (reverse trail)))
       '(7 ((in a) body (out a))))
(check "escape runs after thunks innermost first"
       (begin (set! trail '())
              (call/cc (lambda (k) (traced 'outer (lambda () (traced 'inner (lambda () (k 'x)))))))
              (reverse trail))
       '((in outer) (in inner) (out inner) (out outer)))
(check "re-entry runs before thunks outermost first"
       (let ((k #f) (passes 0))
         (set! trail '())
         (traced 'outer (lambda () (traced 'inner (lambda () (call/cc (lambda (c) (set! k c)))))))
         (set! passes (+ passes 1))
         (if (= passes 1) (begin (note 'again) (k #f)))
         (reverse trail))
       '((in outer) (in inner) (out inner) (out outer) again (in outer) (in inner) (out inner) (out outer)))
(check "jump between sibling extents leaves one and enters the other"
       (let ((k #f))
         (set! trail '())
         (traced 'a (lambda () (call/cc (lambda (c) (set! k c)))))
         (if (< (length trail) 6) (traced 'b (lambda () (k #f))))
         (reverse trail))
       '((in a) (out a) (in b) (out b) (in a) (out a)))
(check "error inside dynamic-wind still runs the after thunk when caught"
       (begin (set! trail '())
              (error-of (lambda () (traced 'e (lambda () (car '())))))
              (reverse trail))
       '((in e) (out e)))

(check-report)
