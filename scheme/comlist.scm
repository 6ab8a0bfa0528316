;;; comlist.scm -- common list operations: searching, set operations on lists, folds, builders.
;;;
;;; Membership and set operations compare with equal?; their results keep the order of the lists
;;; given. Every procedure walks its lists in a loop, so list length is bounded only by memory.

;;; ------------------------------------------------------------------------------------------
;;; Predicates over elements

;; With several lists, pred takes one element of each and the walk stops at the shortest list.
(define (some pred l . more)
  (if (null? more)
      (let loop ((l l))
        (and (pair? l) (or (pred (car l)) (loop (cdr l)))))
      (let loop ((ls (cons l more)))
        (let ((args (%cars ls)))
          (and args (or (apply pred args) (loop (%cdrs ls))))))))

;; The last value of pred when it holds for every element; #t for empty lists.
(define (every pred l . more)
  (if (null? more)
      (let loop ((l l) (last #t))
        (if (pair? l)
            (let ((v (pred (car l)))) (and v (loop (cdr l) v)))
            last))
      (let loop ((ls (cons l more)) (last #t))
        (let ((args (%cars ls)))
          (if args
              (let ((v (apply pred args))) (and v (loop (%cdrs ls) v)))
              last)))))

(define (notany pred . lists) (not (apply some pred lists)))
(define (notevery pred . lists) (not (apply every pred lists)))

(define (find-if pred l)
  (let loop ((l l))
    (cond ((not (pair? l)) #f)
          ((pred (car l)) (car l))
          (else (loop (cdr l))))))

(define find find-if)

(define (count-if pred l)
  (let loop ((l l) (n 0))
    (if (pair? l) (loop (cdr l) (if (pred (car l)) (+ n 1) n)) n)))

;; Index of the first element satisfying pred, or #f.
(define (list-index pred l)
  (let loop ((l l) (i 0))
    (cond ((not (pair? l)) #f)
          ((pred (car l)) i)
          (else (loop (cdr l) (+ i 1))))))

;; Index of the first element equal? to x, or #f.
(define (position x l) (list-index (lambda (y) (equal? x y)) l))

(define (has-duplicates? l)
  (let loop ((l l))
    (cond ((not (pair? l)) #f)
          ((member (car l) (cdr l)) #t)
          (else (loop (cdr l))))))

;;; ------------------------------------------------------------------------------------------
;;; Folds

;; Left-associative combination: (reduce - '(10 2 3)) is (- (- 10 2) 3) = 5.
;; An empty list gives (), a one-element list its element.
(define (reduce f l)
  (if (pair? l) (reduce-init f (car l) (cdr l)) l))

(define (reduce-init f init l)
  (let loop ((acc init) (l l))
    (if (pair? l) (loop (f acc (car l)) (cdr l)) acc)))

;; (fold-left f init l...) calls (f acc x...) from the first elements on.
(define (fold-left f init l . more)
  (if (null? more)
      (reduce-init f init l)
      (let loop ((acc init) (ls (cons l more)))
        (let ((args (%cars ls)))
          (if args (loop (apply f (append (list acc) args)) (%cdrs ls)) acc)))))

;; (fold-right f init l...) calls (f x... acc) from the last elements back.
(define (fold-right f init l . more)
  (if (null? more)
      (let loop ((acc init) (l (%reverse (append l '()))))
        (if (pair? l) (loop (f (car l) acc) (cdr l)) acc))
      (let loop ((acc init) (rows (%reverse (apply map list (cons l more)))))
        (if (pair? rows) (loop (apply f (append (car rows) (list acc))) (cdr rows)) acc))))

;;; ------------------------------------------------------------------------------------------
;;; Filtering

(define (remove-if-not pred l)
  (let loop ((l l) (acc '()))
    (if (pair? l)
        (loop (cdr l) (if (pred (car l)) (cons (car l) acc) acc))
        (%reverse acc))))

(define filter remove-if-not)

(define (remove-if pred l) (remove-if-not (lambda (x) (not (pred x))) l))

;; A fresh list without the elements equal? to x.
(define (remove x l) (remove-if (lambda (y) (equal? x y)) l))

;; Like remove, with an optional equality predicate: (delete x l [same?]).
(define (delete x l . same?)
  (let ((same? (if (pair? same?) (car same?) equal?)))
    (remove-if (lambda (y) (same? x y)) l)))

;; Keeps the first of each run of equal? elements, in order.
(define (delete-duplicates l . same?)
  (let ((same? (if (pair? same?) (car same?) equal?)))
    (let loop ((l l) (acc '()))
      (cond ((not (pair? l)) (%reverse acc))
            ((member (car l) acc same?) (loop (cdr l) acc))
            (else (loop (cdr l) (cons (car l) acc)))))))

;;; ------------------------------------------------------------------------------------------
;;; Lists as sets

(define (adjoin x l) (if (member x l) l (cons x l)))

;; The elements of a, then those of b not in a.
(define (union a b)
  (cond ((null? a) b)
        ((null? b) a)
        (else (append a (remove-if (lambda (x) (member x a)) b)))))

(define (intersection a b) (remove-if-not (lambda (x) (member x b)) a))

(define (set-difference a b) (remove-if (lambda (x) (member x b)) a))

;;; ------------------------------------------------------------------------------------------
;;; Building and slicing

;; (iota count [start [step]]): count numbers from start (default 0) by step (default 1).
(define (iota count . args)
  (let ((start (if (pair? args) (car args) 0))
        (step (if (and (pair? args) (pair? (cdr args))) (cadr args) 1)))
    (let loop ((i (- count 1)) (acc '()))
      (if (< i 0) acc (loop (- i 1) (cons (+ start (* i step)) acc))))))

(define (make-list n . fill)
  (let ((x (if (pair? fill) (car fill) '())))
    (let loop ((n n) (acc '()))
      (if (> n 0) (loop (- n 1) (cons x acc)) acc))))

;; The spine is copied; the elements and a dotted tail are shared.
(define (copy-list l)
  (let loop ((l l) (acc '()))
    (if (pair? l)
        (loop (cdr l) (cons (car l) acc))
        (if (null? acc)
            l
            (let ((last-cell acc) (head (reverse! acc)))
              (set-cdr! last-cell l)
              head)))))

;; In-place reversal, used where the cells are our own.
(define (reverse! l)
  (let loop ((l l) (acc '()))
    (if (pair? l)
        (let ((next (cdr l))) (set-cdr! l acc) (loop next l))
        acc)))

(define (last l) (car (last-pair l)))

(define (nthcdr n l) (list-tail l n))

;; All but the last n (default 1) elements.
(define (butlast l . n)
  (let ((keep (- (length l) (if (pair? n) (car n) 1))))
    (let loop ((l l) (k keep) (acc '()))
      (if (> k 0) (loop (cdr l) (- k 1) (cons (car l) acc)) (%reverse acc)))))
