;;; init.scm's lists, equality, characters, strings, vectors, ports and eval-string.

(define big (let loop ((i 0) (acc '())) (if (= i 100000) acc (loop (+ i 1) (cons i acc)))))

(check "list makes a fresh list even through apply"
       (let* ((l (list 1 2)) (m (apply list l))) (set-car! m 9) (list l m (list)))
       '((1 2) (9 2) ()))
(check "map over several lists stops at the shortest" (map list '(1 2 3) '(a b) '(x y z)) '((1 a x) (2 b y)))
(check "map and for-each over 100 000 elements"
       (let ((sum 0)) (for-each (lambda (x) (set! sum (+ sum x))) (map (lambda (x) (* 2 x)) big)) sum)
       9999900000)
(check "for-each goes left to right" (let ((acc '())) (for-each (lambda (a b) (set! acc (cons (- a b) acc))) '(5 6) '(1 2)) acc) '(4 4))
(check "equal? on nested structure" (equal? (list 1 "ab" (vector 'x 2.0 '(#\c))) '(1 "ab" #(x 2 (#\c)))) #t)
(check "equal? tells apart" (map (lambda (p) (equal? (car p) (cdr p))) '(("a" . "b") ((1 2) . (1 2 3)) (#(1) . #(1 2)) ((1 . 2) . (1 . 3))))
       '(#f #f #f #f))
(check "equal? on long lists" (equal? big (append big '())) #t)
(check "member family" (list (memq 'c '(a b c d)) (memv 2.0 '(1 2 3)) (member "b" '("a" "b")) (memq 'z '(a))) '((c d) (2 3) ("b") #f))
(check "assoc family" (list (assv 2 '((1 . a) (2 . b))) (assoc '(k) '(((k) . v))) (assoc 'x '())) '((2 . b) ((k) . v) #f))
(check "member and assoc take an equality" (list (member 2 '(1 2 3) (lambda (a b) (< a b))) (assoc 2 '((1 . a) (3 . b)) <)) '((3) (3 . b)))
(check "list-tail, list-ref, last-pair" (list (list-tail '(1 2 3) 2) (list-ref '(a b c) 1) (last-pair '(1 2 3))) '((3) b (3)))
(check "c[ad]r compositions"
       (let ((t '((1 2) (3 4) 5 6 7)))
         (list (caar t) (cadr t) (cdar t) (caddr t) (cadddr t) (cddddr t) (cadadr t) (caadr t) (cdadr t)))
       '(1 (3 4) (2) 5 6 (7) 4 3 (4)))

(check "char comparisons" (list (char<? #\a #\b #\c) (char<? #\a #\c #\b) (char>=? #\b #\b #\a) (char=? #\a #\a)) '(#t #f #t #t))
(check "char -ci comparisons" (list (char-ci=? #\a #\A) (char-ci<? #\a #\B) (char<? #\a #\B)) '(#t #t #f))
(check "string comparisons"
       (list (string=? "abc" "abc") (string<? "ab" "abc") (string<? "abd" "abc") (string>? "b" "abc") (string<=? "a" "a" "b"))
       '(#t #t #f #t #t))
(check "string -ci comparisons" (list (string-ci=? "HeLLo" "hello") (string-ci<? "apple" "BANANA") (string<? "apple" "BANANA")) '(#t #t #f))
(check "string <-> list" (list (string->list "abc") (list->string '(#\x #\y)) (string #\a #\b) (string->list "")) '((#\a #\b #\c) "xy" "ab" ()))
(check "string-copy is mutable and separate"
       (let* ((lit "abc") (c (string-copy lit))) (string-set! c 0 #\z) (list lit c)) '("abc" "zbc"))
(check "string-fill!" (let ((s (make-string 3 #\a))) (string-fill! s #\q) s) "qqq")
(check "vector <-> list" (list (vector->list #(1 2 3)) (list->vector '(a b)) (vector->list (vector)) (list->vector '())) '((1 2 3) #(a b) () #()))
(check "vector-fill!" (let ((v (make-vector 3 0))) (vector-fill! v 'x) v) #(x x x))

(check "call-with-output-string" (call-with-output-string (lambda (p) (write "q" p) (display #\space p) (write 'sym p))) "\"q\" sym")
(check "call-with-output-string of long output"
       (let ((s (call-with-output-string (lambda (p) (for-each (lambda (i) (display i p) (display "," p)) (iota 5000))))))
         (list (string-length s) (substring s 0 6) (substring s (- (string-length s) 5) (string-length s))))
       '(23890 "0,1,2," "4999,"))
(check "with-output-to-string restores the port"
       (let ((s (with-output-to-string (lambda () (display "inside") (write #\a)))))
         (list s (call-with-output-string (lambda (p) (display "after" p)))))
       '("inside#\\a" "after"))
(check "eval-string evaluates every expression in the global environment"
       (list (eval-string "(define es-x 20) (+ es-x 1)") es-x (eval-string "") (eval-string "'(a . b)"))
       '(21 20 () (a . b)))

(check-report)
