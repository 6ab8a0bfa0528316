;;; sort.scm: stable merge sort of lists and vectors, merge, sorted?.

(define (by-car a b) (< (car a) (car b)))
(define records '((3 . a) (1 . b) (3 . c) (2 . d) (1 . e) (3 . f)))
(define (pseudo-random n)
  (let loop ((i 0) (x 12345) (acc '()))
    (if (= i n) acc (loop (+ i 1) (modulo (+ (* x 1103515245) 12345) 2147483648) (cons x acc)))))

(check "sort a list" (sort '(3 1 2 5 4) <) '(1 2 3 4 5))
(check "sort is stable" (sort records by-car) '((1 . b) (1 . e) (2 . d) (3 . a) (3 . c) (3 . f)))
(check "sort is stable in reverse order too" (sort records (lambda (a b) (> (car a) (car b)))) '((3 . a) (3 . c) (3 . f) (2 . d) (1 . b) (1 . e)))
(check "sort leaves its argument alone" (let ((l (list 2 1))) (sort l <) l) '(2 1))
(check "sort of small and sorted inputs" (list (sort '() <) (sort '(1) <) (sort '(1 2 3) <) (sort '(3 2 1) <) (sort '(2 2 1 1) <))
       '(() (1) (1 2 3) (1 2 3) (1 1 2 2)))
(check "sort a vector" (sort (vector "pear" "apple" "fig") string<?) #("apple" "fig" "pear"))
(check "sort! a vector in place" (let ((v (vector 5 3 9 1))) (sort! v <) v) #(1 3 5 9))
(check "sort! a list" (sort! (list 4 2 3 1) <) '(1 2 3 4))
(check "sort 100 000 integers"
       (let* ((l (pseudo-random 100000)) (s (sort l <)))
         (list (length s) (sorted? s <) (equal? (sort s <) s) (reduce + s) (car s)))
       (let ((l (pseudo-random 100000))) (list 100000 #t #t (reduce + l) (reduce min l))))

(check "merge" (merge '(1 4 6) '(2 3 7) <) '(1 2 3 4 6 7))
(check "merge takes the first list's element on ties" (merge '((1 . a) (2 . a)) '((1 . b) (2 . b)) by-car) '((1 . a) (1 . b) (2 . a) (2 . b)))
(check "merge with an empty list" (list (merge '() '(1) <) (merge '(1) '() <)) '((1) (1)))
(check "merge vectors" (merge #(1 3) #(2) <) #(1 2 3))
(check "merge!" (merge! (list 1 3 5) (list 2 4) <) '(1 2 3 4 5))
(check "sorted?" (list (sorted? '(1 2 2 3) <) (sorted? '(2 1) <) (sorted? '() <) (sorted? #(1 2) <) (sorted? #(2 1) <)) '(#t #f #t #t #f))
(check-error "sort's arguments the other way round" (lambda () (sort < '(2 1))))

(check-report)
