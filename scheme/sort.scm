;;; sort.scm -- stable merge sort of lists and vectors.
;;;
;;; (sort sequence less?) returns a new sorted list or vector; (sort! sequence less?) sorts the
;;; list's own cells (use the result) or the vector in place. Equal elements keep their order.
;;; (merge a b less?) and (merge! a b less?) merge two sorted sequences; (sorted? sequence less?)
;;; tells whether no element is less than the one before it.

(define (%check-order who sequence less?)
  (if (not (procedure? less?))
      (error (string-append who ": the arguments are (" who " sequence less?), not a procedure:") less?))
  (if (not (or (list? sequence) (vector? sequence)))
      (error (string-append who ": not a list or vector:") sequence)))

;; Splices the cells of two sorted lists into one; on ties the element of a comes first.
;; Each step compares once and relinks a cell only where the merged list switches between a and
;; b. The state lives in three variables updated with set!, and the steps are calls without
;; arguments: in this interpreter that allocates far less than passing the state along.
(define (%merge-lists! a b less?)
  ;; tail: the last cell taken; x: the rest of its list (so (cdr tail) is x already); y: the
  ;; rest of the other list. from-a runs while x is a's rest, from-b while it is b's: on ties a
  ;; wins. Neither x nor y is ever empty on entry to a step.
  (let ((tail #f) (x #f) (y #f))
    (define (switch!)
      (set-cdr! tail y) (set! tail y) (set! y x) (set! x (cdr tail)))
    (define (from-a)
      (if (less? (car y) (car x))
          (begin (switch!) (if (null? x) (set-cdr! tail y) (from-b)))
          (begin (set! tail x) (set! x (cdr x)) (if (null? x) (set-cdr! tail y) (from-a)))))
    (define (from-b)
      (if (less? (car x) (car y))
          (begin (set! tail x) (set! x (cdr x)) (if (null? x) (set-cdr! tail y) (from-b)))
          (begin (switch!) (if (null? x) (set-cdr! tail y) (from-a)))))
    (cond ((null? a) b)
          ((null? b) a)
          ((less? (car b) (car a))
           (set! tail b) (set! x (cdr b)) (set! y a)
           (if (null? x) (set-cdr! tail y) (from-b))
           b)
          (else
           (set! tail a) (set! x (cdr a)) (set! y b)
           (if (null? x) (set-cdr! tail y) (from-a))
           a))))

;; Cuts l into its runs: maximal non-descending stretches, and strictly descending ones turned
;; round (strictness keeps equal elements in order). Returns the list of runs, in order.
(define (%runs! l less?)
  (let next-run ((l l) (runs '()))
    (if (null? l)
        (%reverse runs)
        (let ((start l))
          (if (and (pair? (cdr l)) (less? (car (cdr l)) (car l)))
              (let descend ((cell l) (acc '()))
                (let ((rest (cdr cell)))
                  (set-cdr! cell acc)
                  (if (and (pair? rest) (less? (car rest) (car cell)))
                      (descend rest cell)
                      (next-run rest (cons cell runs)))))
              (let ascend ((cell l))
                (let ((rest (cdr cell)))
                  (if (and (pair? rest) (not (less? (car rest) (car cell))))
                      (ascend rest)
                      (begin (set-cdr! cell '())
                             (next-run rest (cons start runs)))))))))))

;; Natural merge sort: merge neighbouring runs pass after pass. Sorted or reversed input is one
;; run and costs a single walk.
(define (%sort-list! l less?)
  (let pass ((runs (%runs! l less?)))
    (cond ((null? runs) '())
          ((null? (cdr runs)) (car runs))
          (else
           (pass (let pair-up ((runs runs) (merged '()))
                   (cond ((null? runs) (%reverse merged))
                         ((null? (cdr runs)) (%reverse (cons (car runs) merged)))
                         (else (pair-up (cdr (cdr runs))
                                        (cons (%merge-lists! (car runs) (car (cdr runs)) less?)
                                              merged))))))))))

(define (%vector-set-from-list! v l)
  (let loop ((i 0) (l l))
    (if (pair? l) (begin (vector-set! v i (car l)) (loop (+ i 1) (cdr l))) v)))

(define (sort! sequence less?)
  (%check-order "sort!" sequence less?)
  (if (vector? sequence)
      (%vector-set-from-list! sequence (%sort-list! (vector->list sequence) less?))
      (%sort-list! sequence less?)))

(define (sort sequence less?)
  (%check-order "sort" sequence less?)
  (if (vector? sequence)
      (list->vector (%sort-list! (vector->list sequence) less?))
      (%sort-list! (append sequence '()) less?)))

(define (%as-list x) (if (vector? x) (vector->list x) x))

;; Vectors cannot be merged in place; merge! of vectors gives a new one, as merge does.
(define (merge! a b less?)
  (%check-order "merge!" a less?)
  (%check-order "merge!" b less?)
  (if (vector? a)
      (list->vector (%merge-lists! (vector->list a) (%as-list b) less?))
      (%merge-lists! a (%as-list b) less?)))

(define (merge a b less?)
  (%check-order "merge" a less?)
  (%check-order "merge" b less?)
  (let ((merged (%merge-lists! (append (%as-list a) '()) (append (%as-list b) '()) less?)))
    (if (vector? a) (list->vector merged) merged)))

(define (sorted? sequence less?)
  (%check-order "sorted?" sequence less?)
  (if (vector? sequence)
      (let ((n (vector-length sequence)))
        (let loop ((i 1))
          (or (>= i n)
              (and (not (less? (vector-ref sequence i) (vector-ref sequence (- i 1))))
                   (loop (+ i 1))))))
      (or (null? sequence)
          (let loop ((prev (car sequence)) (l (cdr sequence)))
            (or (null? l)
                (and (not (less? (car l) prev)) (loop (car l) (cdr l))))))))
