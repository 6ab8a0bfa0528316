(define (square x) (* x x))
(square 12)
