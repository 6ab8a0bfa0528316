;;; comlist.scm: searching, folds, filtering, sets and list builders.

(check "some and every" (list (some odd? '(2 4 5)) (some odd? '()) (every odd? '(1 3)) (every odd? '(1 2)) (every odd? '()))
       '(#t #f #t #f #t))
(check "some and every return the predicate's value" (list (some (lambda (x) (and (> x 1) (* x 10))) '(1 2 3)) (every (lambda (x) (and x (* x 2))) '(1 2)))
       '(20 4))
(check "some and every over several lists" (list (some = '(1 2 3) '(3 2 1)) (every < '(1 2) '(2 3 0))) '(#t #t))
(check "notany and notevery" (list (notany odd? '(2 4)) (notevery odd? '(1 2))) '(#t #t))
(check "find-if, count-if, list-index, position"
       (list (find-if even? '(1 3 4 6)) (find-if even? '(1)) (count-if odd? '(1 2 3)) (list-index even? '(1 3 4)) (list-index even? '(1)) (position "b" '("a" "b")))
       '(4 #f 2 2 #f 1))
(check "has-duplicates?" (list (has-duplicates? '(1 (2) 3 (2))) (has-duplicates? '(1 2 3))) '(#t #f))

(check "reduce is left-associative" (list (reduce - '(10 2 3)) (reduce + '(7)) (reduce + '())) '(5 7 ()))
(check "reduce-init" (reduce-init cons 'z '(1 2)) '((z . 1) . 2))
(check "fold-left" (list (fold-left cons '() '(1 2 3)) (fold-left (lambda (acc a b) (+ acc (* a b))) 0 '(1 2 3) '(4 5 6))) '((((() . 1) . 2) . 3) 32))
(check "fold-right" (list (fold-right cons '() '(1 2 3)) (fold-right (lambda (a b acc) (cons (+ a b) acc)) '() '(1 2) '(10 20 30))) '((1 2 3) (11 22)))
(check "folds over 100 000 elements" (fold-right + 0 (iota 100000)) 4999950000)

(check "remove, remove-if, remove-if-not, filter"
       (list (remove '(1) '((1) 2 (1))) (remove-if odd? '(1 2 3 4)) (remove-if-not odd? '(1 2 3)) (filter symbol? '(a 1 b)))
       '((2) (2 4) (1 3) (a b)))
(check "remove leaves its argument alone" (let ((l (list 1 2 1))) (remove 1 l) l) '(1 2 1))
(check "delete, with an equality" (list (delete "x" '("x" "y")) (delete 3 '(1 5 2 7) <)) '(("y") (1 2)))
(check "delete-duplicates keeps first occurrences in order" (delete-duplicates '(a b a "c" b "c")) '(a b "c"))

(check "adjoin" (list (adjoin 1 '(1 2)) (adjoin 3 '(1 2))) '((1 2) (3 1 2)))
(check "union" (list (union '(1 2) '(2 3)) (union '() '(1)) (union '(1) '())) '((1 2 3) (1) (1)))
(check "intersection and set-difference" (list (intersection '(1 2 3 4) '(4 2 9)) (set-difference '(1 2 3 4) '(4 2 9))) '((2 4) (1 3)))

(check "iota" (list (iota 4) (iota 3 1) (iota 3 0 1/2) (iota 0)) '((0 1 2 3) (1 2 3) (0 1/2 1) ()))
(check "make-list" (list (make-list 2 'x) (make-list 0)) '((x x) ()))
(check "copy-list copies the spine, keeps a dotted tail"
       (let* ((l (list 1 2)) (c (copy-list l)) (d (copy-list '(1 2 . 3)))) (set-car! c 9) (list l c d))
       '((1 2) (9 2) (1 2 . 3)))
(check "last, butlast, nthcdr" (list (last '(1 2 3)) (butlast '(1 2 3)) (butlast '(1 2 3) 2) (butlast '(1)) (nthcdr 2 '(a b c))) '(3 (1 2) (1) () (c)))
(check "list* is the interpreter's" (list* 1 2 '(3)) '(1 2 3))

(check-report)
