;;; Exact rationals, the integer division family, rounding, and the library's number procedures.

(define (printed x) (call-with-output-string (lambda (p) (write x p))))

(check "exact division" (list (/ 6 3) (printed (/ 1 3)) (integer? (/ 6 3)) (rational? (/ 1 3))) '(2 "1/3" #t #t))
(check "rational equality across kinds" (list (= 1/2 0.5) (= 2 4/2) (eqv? 2 2.0)) '(#t #t #t))
(check "division family" (list (modulo -7 2) (remainder -7 2) (modulo 7 -2) (modulo 7.5 2) (quotient -7 2)) '(1 -1 -1 1.5 -3))
(check "rounding gives reals, ties to even" (list (round 2.5) (round -3.5) (truncate -1.5) (exact? (round 2.5)) (inexact? (floor 2)))
       '(2 -4 -1 #f #t))
(check "inexact->exact" (list (inexact->exact 2.0) (exact? (inexact->exact 2.0))) '(2 #t))
(check "sqrt and exact->inexact" (map printed (list (sqrt 4) (exact->inexact 1/3))) '("2" "0.3333333333"))

(check "exactness predicates" (list (exact? 1) (exact? 1/2) (exact? 0.5) (inexact? 'a)) '(#t #t #f #f))
(check "sign predicates" (list (zero? 0) (zero? 0.0) (positive? 1/2) (negative? -0.1) (negative? 0)) '(#t #t #t #t #f))
(check "odd and even, negatives included" (list (odd? -3) (even? -4) (odd? 0) (even? 10)) '(#t #t #f #t))
(check "abs" (list (abs -5) (abs 5) (abs -2.5) (abs -1/2)) '(5 5 2.5 1/2))
(check "max and min" (list (max 1 3 2) (min 4 -1 2) (max 1/2 1/3)) '(3 -1 1/2))
(check "max/min become inexact with any inexact argument"
       (list (inexact? (max 3 1.0)) (max 3 1.0) (inexact? (min 1 2.0))) '(#t 3.0 #t))
(check "gcd and lcm" (list (gcd 12 18) (gcd -12 18) (gcd) (gcd 0 5) (lcm 4 6) (lcm -4 6) (lcm) (lcm 3 0)) '(6 6 0 5 12 12 1 0))

(check "number->string" (list (number->string 42) (number->string 1/3) (number->string 2.5)) '("42" "1/3" "2.5"))
(check "number->string radixes"
       (list (number->string 255 16) (number->string 255 2) (number->string -8 8) (number->string 0 2))
       '("ff" "11111111" "-10" "0"))
(check "number->string of the most negative integer in binary"
       (string-length (number->string (- -9223372036854775807 1) 2)) 65)
(check-error "number->string of a real in radix 2" (lambda () (number->string 1.5 2)))
(check-error "number->string with radix 3" (lambda () (number->string 1 3)))
(check "string->number" (list (string->number "42") (string->number "-1.5e2") (string->number "1/3") (string->number ".5"))
       '(42 -150 1/3 .5))
(check "string->number radixes" (list (string->number "ff" 16) (string->number "FF" 16) (string->number "-101" 2) (string->number "17" 8))
       '(255 255 -5 15))
(check "string->number prefixes" (list (string->number "#xff") (string->number "#b101") (string->number "#o17") (string->number "#d9"))
       '(255 5 15 9))
(check "string->number of text that is no number"
       (map string->number '("" "abc" "12abc" "1/0" "+" "-" "." "1 2" "#z1" "1e"))
       '(#f #f #f #f #f #f #f #f #f #f))
(check "string->number of a bad digit for the radix" (list (string->number "12" 2) (string->number "g" 16)) '(#f #f))
(check "round trip through text" (string->number (number->string -1234567 16) 16) -1234567)

(check-error "division by zero" (lambda () (/ 5 0)) "/: division by zero")
(check-error "division by an inexact zero" (lambda () (/ 5 0.0)) "/: division by zero")
(check-error "quotient by zero" (lambda () (quotient 1 0)) "quotient: division by zero")
(check-error "modulo by zero" (lambda () (modulo 5 0)) "modulo: division by zero")
(check-error "inexact->exact of a fraction" (lambda () (inexact->exact 2.5)) "inexact->exact: not integral:")

(check-report)
