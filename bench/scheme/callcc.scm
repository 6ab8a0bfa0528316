;; First-class continuations, two ways.
;; 1. One continuation captured once and re-entered 100 000 times, each
;;    time with the next counter value.
;; 2. A generator: the producer walks a counter and hands each value to the
;;    consumer by jumping out, keeping its own continuation to be resumed;
;;    the consumer resumes it 100 000 times.

(define (reenter n)
  (let ((again #f) (sum 0))
    (let ((i (call-with-current-continuation
              (lambda (k) (set! again k) 0))))
      (set! sum (+ sum i))
      (if (< i n)
          (again (+ i 1))
          sum))))

;; (make-generator n) returns a thunk giving 1, 2, ..., n, then #f for ever.
(define (make-generator n)
  (let ((resume #f) (return #f))
    (define (produce)
      (let loop ((i 1))
        (if (<= i n)
            (begin
              (call-with-current-continuation
               (lambda (k) (set! resume k) (return i)))
              (loop (+ i 1)))))
      (return #f))
    (lambda ()
      (call-with-current-continuation
       (lambda (k)
         (set! return k)
         (if resume (resume #f) (produce)))))))

(define (drain next acc)
  (let ((x (next)))
    (if x (drain next (+ acc x)) acc)))

;; Both are 1 + 2 + ... + 100 000.
(display (list (reenter 100000) (drain (make-generator 100000) 0)))
(newline)
