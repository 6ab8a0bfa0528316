;; String building: each step formats two numbers with number->string,
;; joins them with string-append into a line that keeps growing, and when
;; the line passes 200 characters keeps only its second half (substring).
;; The lengths and the characters seen are summed so the result checks
;; every string made.

(define (digit-sum s i acc)
  (if (= i (string-length s))
      acc
      (digit-sum s (+ i 1) (+ acc (char->integer (string-ref s i))))))

(define (run i n line total check)
  (if (= i n)
      (list total check (string-length line))
      (let* ((item (string-append "<" (number->string i) ":"
                                  (number->string (* i i)) ">"))
             (longer (string-append line item))
             (len (string-length longer))
             (next (if (> len 200)
                       (substring longer (quotient len 2) len)
                       longer)))
        (run (+ i 1) n next
             (+ total (string-length item))
             (+ check (char->integer (string-ref next (- (string-length next) 2)))
                (if (= 0 (remainder i 1000)) (digit-sum next 0 0) 0))))))

(display (run 0 150000 "" 0 0))
(newline)
