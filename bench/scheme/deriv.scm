;; Symbolic differentiation with respect to x of sums, products, quotients
;; and powers, without simplification: nearly all the time goes to consing
;; the new expression trees, so this measures allocation and collection.

(define (deriv e)
  (cond ((number? e) 0)
        ((symbol? e) (if (eq? e 'x) 1 0))
        ((eq? (car e) '+) (cons '+ (deriv-each (cdr e))))
        ((eq? (car e) '-) (cons '- (deriv-each (cdr e))))
        ((eq? (car e) '*) (deriv-product (cdr e)))
        ((eq? (car e) '/)
         (let ((u (cadr e)) (v (caddr e)))
           (list '/
                 (list '- (list '* (deriv u) v) (list '* u (deriv v)))
                 (list '* v v))))
        ((eq? (car e) 'expt)
         (let ((u (cadr e)) (n (caddr e)))
           (list '* n (list 'expt u (- n 1)) (deriv u))))
        (else (list 'unknown-operator (car e)))))   ; spoils the checked result

(define (deriv-each es)
  (if (null? es)
      '()
      (cons (deriv (car es)) (deriv-each (cdr es)))))

;; Local reverse and append keep the program to plain list operations.
(define (rev l)
  (let loop ((l l) (acc '()))
    (if (null? l) acc (loop (cdr l) (cons (car l) acc)))))

(define (rev-onto l tail)
  (if (null? l) tail (rev-onto (cdr l) (cons (car l) tail))))

;; d(f1 f2 ... fn) = sum over i of f1 ... fi' ... fn
(define (deriv-product fs)
  (let loop ((before '()) (after fs) (terms '()))
    (if (null? after)
        (cons '+ (rev terms))
        (loop (cons (car after) before)
              (cdr after)
              (cons (cons '* (rev-onto before
                                       (cons (deriv (car after)) (cdr after))))
                    terms)))))

;; Evaluate a tree exactly at x = 2, a = 1, b = 3, c = 1, so the derivative
;; is checked against the one worked out by hand: 24877/2.
(define (power u n)
  (if (= n 0) 1 (* u (power u (- n 1)))))

(define (value e)
  (cond ((number? e) e)
        ((eq? e 'x) 2) ((eq? e 'a) 1) ((eq? e 'b) 3) ((eq? e 'c) 1)
        ((eq? (car e) '+) (sum (cdr e) 0))
        ((eq? (car e) '*) (product (cdr e) 1))
        ((eq? (car e) '-) (- (value (cadr e)) (sum (cddr e) 0)))
        ((eq? (car e) '/) (/ (value (cadr e)) (value (caddr e))))
        ((eq? (car e) 'expt) (power (value (cadr e)) (caddr e)))
        (else 'unknown-operator)))

(define (sum es acc)
  (if (null? es) acc (sum (cdr es) (+ acc (value (car es))))))

(define (product es acc)
  (if (null? es) acc (product (cdr es) (* acc (value (car es))))))

;; Count the nodes of a tree, so the result is checked as a whole.
(define (size e)
  (if (pair? e)
      (+ (size (car e)) (size (cdr e)))
      1))

(define expr
  '(+ (* 3 x x x) (* a x x) (* b x) 5
      (/ (+ x 1) (* x x))
      (expt (+ (* 2 x) (* c x x)) 4)
      (* (- x a) (+ x b) (expt x 3))))

;; 20 000 derivatives of the same expression; the last one is checked.
(define (run n last)
  (if (= n 0)
      last
      (run (- n 1) (deriv expr))))

(define d (run 20000 '()))
(display (size d))
(display " ")
(display (value d))
(newline)
