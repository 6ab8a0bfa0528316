;;; init.scm -- the language's own library, loaded into every interpreter before anything else.
;;;
;;; The interpreter's primitives cover the core; this file adds the rest of R4RS on top of them:
;;; quasiquote, define-macro, do, when, unless, list operations, equal?, number and character
;;; helpers, string and vector conversions, dynamic-wind with a winding call/cc, string output,
;;; and eval-string. Only primitives are used here, so the file loads on a bare interpreter.
;;;
;;; Loops are written as named lets so long lists cost no pending frames.

;;; ------------------------------------------------------------------------------------------
;;; Pair accessors

(define (caar x) (car (car x)))
(define (cadr x) (car (cdr x)))
(define (cdar x) (cdr (car x)))
(define (cddr x) (cdr (cdr x)))
(define (caaar x) (car (car (car x))))
(define (caadr x) (car (car (cdr x))))
(define (cadar x) (car (cdr (car x))))
(define (caddr x) (car (cdr (cdr x))))
(define (cdaar x) (cdr (car (car x))))
(define (cdadr x) (cdr (car (cdr x))))
(define (cddar x) (cdr (cdr (car x))))
(define (cdddr x) (cdr (cdr (cdr x))))
(define (caaaar x) (car (car (car (car x)))))
(define (caaadr x) (car (car (car (cdr x)))))
(define (caadar x) (car (car (cdr (car x)))))
(define (caaddr x) (car (car (cdr (cdr x)))))
(define (cadaar x) (car (cdr (car (car x)))))
(define (cadadr x) (car (cdr (car (cdr x)))))
(define (caddar x) (car (cdr (cdr (car x)))))
(define (cadddr x) (car (cdr (cdr (cdr x)))))
(define (cdaaar x) (cdr (car (car (car x)))))
(define (cdaadr x) (cdr (car (car (cdr x)))))
(define (cdadar x) (cdr (car (cdr (car x)))))
(define (cdaddr x) (cdr (car (cdr (cdr x)))))
(define (cddaar x) (cdr (cdr (car (car x)))))
(define (cddadr x) (cdr (cdr (car (cdr x)))))
(define (cdddar x) (cdr (cdr (cdr (car x)))))
(define (cddddr x) (cdr (cdr (cdr (cdr x)))))

;;; ------------------------------------------------------------------------------------------
;;; Lists

;; A rest list can be the caller's own list when it comes through apply, so list copies it:
;; (apply list l) must give a list the caller may mutate without touching l.
(define (list . items) (append items '()))

;; The primitive reverse refuses the empty list; the library's loops end on it often.
(define (%reverse l) (if (null? l) l (reverse l)))

(define (list-tail l k)
  (let loop ((l l) (k k))
    (if (> k 0) (loop (cdr l) (- k 1)) l)))

(define (list-ref l k) (car (list-tail l k)))

(define (last-pair l)
  (let loop ((l l))
    (if (pair? (cdr l)) (loop (cdr l)) l)))

(define (memq x l)
  (let loop ((l l))
    (cond ((not (pair? l)) #f)
          ((eq? x (car l)) l)
          (else (loop (cdr l))))))

(define (memv x l)
  (let loop ((l l))
    (cond ((not (pair? l)) #f)
          ((eqv? x (car l)) l)
          (else (loop (cdr l))))))

(define (assv x l)
  (let loop ((l l))
    (cond ((not (pair? l)) #f)
          ((eqv? x (car (car l))) (car l))
          (else (loop (cdr l))))))

;; The cars of lists, or #f as soon as one list has run out.
(define (%cars lists)
  (let loop ((ls lists) (acc '()))
    (cond ((null? ls) (%reverse acc))
          ((pair? (car ls)) (loop (cdr ls) (cons (car (car ls)) acc)))
          (else #f))))

(define (%cdrs lists)
  (let loop ((ls lists) (acc '()))
    (if (null? ls) (%reverse acc) (loop (cdr ls) (cons (cdr (car ls)) acc)))))

;; Results are gathered in reverse and turned round at the end (no set-cdr! on the result), so a
;; continuation captured inside f and invoked again cannot alter a list map already returned.
(define (map f l . more)
  (if (null? more)
      (let loop ((l l) (acc '()))
        (if (pair? l)
            (loop (cdr l) (cons (f (car l)) acc))
            (%reverse acc)))
      (let loop ((ls (cons l more)) (acc '()))
        (let ((args (%cars ls)))
          (if args
              (loop (%cdrs ls) (cons (apply f args) acc))
              (%reverse acc))))))

(define (for-each f l . more)
  (if (null? more)
      (let loop ((l l))
        (if (pair? l) (begin (f (car l)) (loop (cdr l))) #t))
      (let loop ((ls (cons l more)))
        (let ((args (%cars ls)))
          (if args (begin (apply f args) (loop (%cdrs ls))) #t)))))

;;; ------------------------------------------------------------------------------------------
;;; Numbers

(define (exact? x) (if (integer? x) #t (rational? x)))
(define (inexact? x) (if (number? x) (not (exact? x)) #f))
(define (exact->inexact x) (* 1.0 x))
(define (zero? x) (= x 0))
(define (positive? x) (> x 0))
(define (negative? x) (< x 0))
(define (odd? n) (not (= 0 (modulo n 2))))
(define (even? n) (= 0 (modulo n 2)))
(define (abs x) (if (< x 0) (- x) x))

;; One inexact argument makes the result inexact, whichever argument wins.
(define (%extremum better? x rest)
  (let loop ((best x) (rest rest) (inexact (inexact? x)))
    (if (null? rest)
        (if inexact (exact->inexact best) best)
        (let ((y (car rest)))
          (loop (if (better? y best) y best) (cdr rest) (if inexact #t (inexact? y)))))))

(define (max x . rest) (%extremum > x rest))
(define (min x . rest) (%extremum < x rest))

;; Euclid on the values as given and abs at the end, so the most negative integer, whose abs
;; wraps, still gives the right divisor.
(define (gcd . ns)
  (let loop ((acc 0) (ns ns))
    (if (null? ns)
        (abs acc)
        (loop (let euclid ((a acc) (b (car ns)))
                (if (= b 0) a (euclid b (remainder a b))))
              (cdr ns)))))

(define (lcm . ns)
  (let loop ((acc 1) (ns ns))
    (cond ((null? ns) acc)
          ((= (car ns) 0) 0)
          (else (let ((n (abs (car ns))))
                  (loop (* (quotient acc (gcd acc n)) n) (cdr ns)))))))

(define (%digit-value c radix)
  (let* ((code (char->integer (char-downcase c)))
         (v (cond ((and (>= code 48) (<= code 57)) (- code 48))
                  ((and (>= code 97) (<= code 102)) (- code 87))
                  (else 99))))
    (if (< v radix) v #f)))

(define (%check-radix who radix)
  (if (not (memv radix '(2 8 10 16)))
      (error (string-append who ": radix must be 2, 8, 10 or 16:") radix)))

;; Works on negative digits so the most negative integer needs no negation.
(define (%integer->string n radix)
  (let loop ((n n) (acc '()))
    (let* ((d (abs (remainder n radix)))
           (acc (cons (string-ref "0123456789abcdef" d) acc))
           (q (quotient n radix)))
      (if (= q 0)
          (list->string (if (< n 0) (cons #\- acc) acc))
          (loop q acc)))))

(define (%string-index s c)
  (let ((n (string-length s)))
    (let loop ((i 0))
      (cond ((= i n) #f)
            ((char=? (string-ref s i) c) i)
            (else (loop (+ i 1)))))))

(define (number->string n . radix)
  (let ((radix (if (pair? radix) (car radix) 10)))
    (if (not (number? n)) (error "number->string: not a number:" n))
    (%check-radix "number->string" radix)
    (cond ((= radix 10) (atom->string n))
          ((integer? n) (%integer->string n radix))
          ((rational? n)
           ;; numerator and denominator as the printer shows them
           (let* ((text (atom->string n))
                  (slash (%string-index text #\/)))
             (string-append
              (%integer->string (string->number (substring text 0 slash)) radix)
              "/"
              (%integer->string (string->number (substring text (+ slash 1))) radix))))
          (else (error "number->string: an inexact number needs radix 10:" n)))))

;; [sign] digits, in radix 2, 8 or 16; #f for anything else.
(define (%parse-integer s start end radix)
  (let* ((sign (if (< start end) (string-ref s start) #\0))
         (negative (char=? sign #\-))
         (start (if (or negative (char=? sign #\+)) (+ start 1) start)))
    (if (>= start end)
        #f
        (let loop ((i start) (acc 0))
          (if (= i end)
              (if negative (- acc) acc)
              (let ((d (%digit-value (string-ref s i) radix)))
                (and d (loop (+ i 1) (+ (* acc radix) d)))))))))

;; Only the characters a decimal number can hold reach the reader's number parser, and never a
;; zero denominator, so junk neither interns symbols nor builds an impossible rational.
(define (%parse-decimal s)
  (let ((n (string-length s)))
    (let scan ((i 0) (slash #f) (zero-denominator #t))
      (if (< i n)
          (let ((c (string-ref s i)))
            (cond ((char=? c #\/) (and (not slash) (scan (+ i 1) #t #t)))
                  ((memv c '(#\+ #\- #\. #\e #\E)) (scan (+ i 1) slash zero-denominator))
                  ((char-numeric? c)
                   (scan (+ i 1) slash (and zero-denominator (char=? c #\0))))
                  (else #f)))
          (and (> n 0)
               (not (and slash zero-denominator))
               (let ((x (string->atom s))) (and (number? x) x)))))))

(define (string->number s . radix)
  (let ((radix (if (pair? radix) (car radix) 10))
        (n (string-length s)))
    (%check-radix "string->number" radix)
    (if (and (>= n 2) (char=? (string-ref s 0) #\#))
        (let ((prefix (memv (char-downcase (string-ref s 1)) '(#\b 2 #\o 8 #\d 10 #\x 16))))
          (and prefix (string->number (substring s 2) (cadr prefix))))
        (if (= radix 10)
            (%parse-decimal s)
            (let ((slash (%string-index s #\/)))
              (if slash
                  (let ((num (%parse-integer s 0 slash radix))
                        (den (%parse-integer s (+ slash 1) n radix)))
                    (and num den (not (= den 0))
                         (not (memv (string-ref s (+ slash 1)) '(#\+ #\-)))
                         (/ num den)))
                  (%parse-integer s 0 n radix)))))))

;;; ------------------------------------------------------------------------------------------
;;; Characters

;; Comparisons take two or more arguments and test each neighbouring pair.
(define (%chain test)
  (lambda (a b . more)
    (let loop ((a a) (b b) (more more))
      (if (test a b)
          (if (null? more) #t (loop b (car more) (cdr more)))
          #f))))

(define (%char-order key compare)
  (%chain (lambda (a b) (compare (key a) (key b)))))

(define (%char-code c) (char->integer c))
(define (%char-code-ci c) (char->integer (char-downcase c)))

(define char=? (%char-order %char-code =))
(define char<? (%char-order %char-code <))
(define char>? (%char-order %char-code >))
(define char<=? (%char-order %char-code <=))
(define char>=? (%char-order %char-code >=))
(define char-ci=? (%char-order %char-code-ci =))
(define char-ci<? (%char-order %char-code-ci <))
(define char-ci>? (%char-order %char-code-ci >))
(define char-ci<=? (%char-order %char-code-ci <=))
(define char-ci>=? (%char-order %char-code-ci >=))

;;; ------------------------------------------------------------------------------------------
;;; Strings

;; Negative, zero or positive as a sorts before, with or after b; key maps each character to a number.
(define (%string-compare a b key)
  (let ((la (string-length a)) (lb (string-length b)))
    (let loop ((i 0))
      (cond ((= i la) (if (= i lb) 0 -1))
            ((= i lb) 1)
            (else (let ((x (key (string-ref a i))) (y (key (string-ref b i))))
                    (cond ((< x y) -1)
                          ((> x y) 1)
                          (else (loop (+ i 1))))))))))

(define (%string-order key test)
  (%chain (lambda (a b) (test (%string-compare a b key) 0))))

(define string=? (%string-order %char-code =))
(define string<? (%string-order %char-code <))
(define string>? (%string-order %char-code >))
(define string<=? (%string-order %char-code <=))
(define string>=? (%string-order %char-code >=))
(define string-ci=? (%string-order %char-code-ci =))
(define string-ci<? (%string-order %char-code-ci <))
(define string-ci>? (%string-order %char-code-ci >))
(define string-ci<=? (%string-order %char-code-ci <=))
(define string-ci>=? (%string-order %char-code-ci >=))

(define (string->list s)
  (let loop ((i (- (string-length s) 1)) (acc '()))
    (if (< i 0) acc (loop (- i 1) (cons (string-ref s i) acc)))))

(define (list->string chars)
  (let ((s (make-string (length chars))))
    (let loop ((i 0) (l chars))
      (if (pair? l)
          (begin (string-set! s i (car l)) (loop (+ i 1) (cdr l)))
          s))))

(define (string . chars) (list->string chars))
(define (string-copy s) (substring s 0))

(define (string-fill! s c)
  (let ((n (string-length s)))
    (let loop ((i 0))
      (if (< i n) (begin (string-set! s i c) (loop (+ i 1))) s))))

;;; ------------------------------------------------------------------------------------------
;;; Vectors

(define (vector->list v)
  (let loop ((i (- (vector-length v) 1)) (acc '()))
    (if (< i 0) acc (loop (- i 1) (cons (vector-ref v i) acc)))))

;; A vector fills at most one heap segment; past that the interpreter gives #f instead of a vector.
(define (list->vector l)
  (or (apply vector l) (error "list->vector: too many elements for a vector:" (length l))))

(define (vector-fill! v x)
  (let ((n (vector-length v)))
    (let loop ((i 0))
      (if (< i n) (begin (vector-set! v i x) (loop (+ i 1))) v))))

;;; ------------------------------------------------------------------------------------------
;;; Equality

(define (equal? a b)
  (let loop ((a a) (b b))
    (cond ((eqv? a b) #t)
          ((pair? a)
           (and (pair? b) (equal? (car a) (car b)) (loop (cdr a) (cdr b))))
          ((string? a) (and (string? b) (string=? a b)))
          ((vector? a)
           (and (vector? b)
                (let ((n (vector-length a)))
                  (and (= n (vector-length b))
                       (let each ((i 0))
                         (or (= i n)
                             (and (equal? (vector-ref a i) (vector-ref b i)) (each (+ i 1)))))))))
          (else #f))))

(define (member x l . same?)
  (let ((same? (if (pair? same?) (car same?) equal?)))
    (let loop ((l l))
      (cond ((not (pair? l)) #f)
            ((same? x (car l)) l)
            (else (loop (cdr l)))))))

(define (assoc x l . same?)
  (let ((same? (if (pair? same?) (car same?) equal?)))
    (let loop ((l l))
      (cond ((not (pair? l)) #f)
            ((same? x (car (car l))) (car l))
            (else (loop (cdr l)))))))

;;; ------------------------------------------------------------------------------------------
;;; Syntax: quasiquote, define-macro, do, when, unless
;;;
;;; Expansions call cons, append, apply and vector through the procedure objects themselves,
;;; captured here, so user code that rebinds those names (a variable called list, say) cannot
;;; change what a backquote builds.

(macro quasiquote
  (let ((%cons cons) (%append append) (%apply apply) (%vector vector) (%vector->list vector->list))
    (define (constant? e) (and (pair? e) (eq? (car e) 'quote)))
    (define (form-of? x tag) (and (pair? x) (eq? (car x) tag) (pair? (cdr x)) (null? (cdr (cdr x)))))
    ;; code building the list (tag value)
    (define (tagged tag e)
      (if (constant? e)
          (%cons 'quote (%cons (%cons tag (%cons (car (cdr e)) '())) '()))
          (%cons %cons (%cons (%cons 'quote (%cons tag '())) (%cons (%cons %cons (%cons e '('()))) '())))))
    (define (pair-of a d)
      (if (and (constant? a) (constant? d))
          (%cons 'quote (%cons (%cons (car (cdr a)) (car (cdr d))) '()))
          (%cons %cons (%cons a (%cons d '())))))
    ;; code building x, where unquotes at nesting level `depth` are live
    (define (expand x depth)
      (cond ((form-of? x 'unquote)
             (if (= depth 1)
                 (car (cdr x))
                 (tagged 'unquote (expand (car (cdr x)) (- depth 1)))))
            ((form-of? x 'quasiquote)
             (tagged 'quasiquote (expand (car (cdr x)) (+ depth 1))))
            ((pair? x)
             (let ((head (car x)) (rest (expand (cdr x) depth)))
               (if (form-of? head 'unquote-splicing)
                   (if (= depth 1)
                       (%cons %append (%cons (car (cdr head)) (%cons rest '())))
                       (pair-of (tagged 'unquote-splicing (expand (car (cdr head)) (- depth 1))) rest))
                   (pair-of (expand head depth) rest))))
            ((vector? x)
             (let ((items (expand (%vector->list x) depth)))
               (if (constant? items)
                   (%cons 'quote (%cons x '()))
                   (%cons %apply (%cons %vector (%cons items '()))))))
            (else (%cons 'quote (%cons x '())))))
    (lambda (form)
      (if (not (form-of? form 'quasiquote)) (error "quasiquote: bad syntax:" form))
      (expand (car (cdr form)) 1))))

;; (define-macro (name . args) body...): the macro's procedure receives the form's operands.
;; (define-macro name proc) takes any procedure of the operands.
(macro define-macro
  (let ((%list list) (%apply apply) (%cdr cdr))
    (define (operands-of proc)
      (lambda (form) (%apply proc (%cdr form))))
    (lambda (form)
      (let ((head (if (pair? (%cdr form)) (car (%cdr form)) #f)))
        (cond ((and (pair? head) (symbol? (car head)))
               (%list 'macro (car head)
                     (%list operands-of (list* 'lambda (%cdr head) (%cdr (%cdr form))))))
              ((and (symbol? head) (pair? (%cdr (%cdr form))))
               (%list 'macro head (%list operands-of (car (%cdr (%cdr form))))))
              (else (error "define-macro: bad syntax:" form)))))))

;; These build their expansions with the library's own list and map, captured now.
(define-macro when
  (let ((%list list))
    (lambda (test . body) (%list 'if test (cons 'begin body)))))

(define-macro unless
  (let ((%list list))
    (lambda (test . body) (%list 'if test ''() (cons 'begin body)))))

;; (do ((var init step)...) (test result...) command...) as a named let under a fresh name.
(define-macro do
  (let ((%list list) (%map map) (%append append))
    (define (step b) (if (pair? (cdr (cdr b))) (car (cdr (cdr b))) (car b)))
    (lambda operands
      (if (not (and (pair? operands) (list? (car operands))
                    (pair? (cdr operands)) (pair? (car (cdr operands)))))
          (error "do: bad syntax:" (cons 'do operands)))
      (let ((bindings (car operands))
            (exit (car (cdr operands)))
            (commands (cdr (cdr operands)))
            (loop (gensym)))
        (%list 'let loop
              (%map (lambda (b) (%list (car b) (car (cdr b)))) bindings)
              (%list 'if (car exit)
                    (cons 'begin (cdr exit))
                    (%append (cons 'begin commands)
                            (%list (cons loop (%map step bindings))))))))))

;;; ------------------------------------------------------------------------------------------
;;; Control: dynamic-wind and a call/cc that honours it
;;;
;;; The wind list holds (before . after) for every dynamic-wind extent we are in, innermost first.
;;; A continuation remembers the list it was captured with; invoking it leaves the extents it is
;;; not in (after thunks, innermost first) and enters those it is in (before thunks, outermost
;;; first), so escapes and re-entries run the thunks exactly as the extents are crossed.

(define dynamic-wind #f)
(define call/cc #f)

(let ((winds '()) (capture call-with-current-continuation))
  (define (common-tail a b)
    (let ((la (length a)) (lb (length b)))
      (let loop ((a (list-tail a (max 0 (- la lb)))) (b (list-tail b (max 0 (- lb la)))))
        (if (eq? a b) a (loop (cdr a) (cdr b))))))
  (define (travel-to! target)
    (let ((common (common-tail winds target)))
      (let leave ()
        (if (not (eq? winds common))
            (let ((after (cdr (car winds))))
              (set! winds (cdr winds))
              (after)
              (leave))))
      (let enter ((target target))
        (if (not (eq? target common))
            (begin (enter (cdr target))
                   ((car (car target)))
                   (set! winds target))))))
  (set! dynamic-wind
        (lambda (before thunk after)
          (before)
          (set! winds (cons (cons before after) winds))
          (let ((result (thunk)))
            (set! winds (cdr winds))
            (after)
            result)))
  (set! call/cc
        (lambda (receiver)
          (capture
           (lambda (k)
             (let ((saved winds))
               (receiver (lambda results
                           (if (not (eq? winds saved)) (travel-to! saved))
                           (apply k results)))))))))

(define call-with-current-continuation call/cc)

;;; ------------------------------------------------------------------------------------------
;;; Ports

;; A string output port writes into a fixed string in place and drops what does not fit. The
;; buffer starts filled with NUL; when its last byte was written the output may have been cut,
;; so proc runs again on a buffer four times larger. Trailing NUL characters of the output are
;; indistinguishable from the fill and are dropped.
(define (call-with-output-string proc)
  (let ((fill (integer->char 0)))
    (let try ((size 512))
      (let* ((buffer (make-string size fill))
             (port (open-output-string buffer)))
        (proc port)
        (close-output-port port)
        (if (char=? (string-ref buffer (- size 1)) fill)
            (let trim ((end (- size 1)))
              (if (and (> end 0) (char=? (string-ref buffer (- end 1)) fill))
                  (trim (- end 1))
                  (substring buffer 0 end)))
            (try (* size 4)))))))

(define (%with-output-port port thunk)
  (let ((old (current-output-port)))
    (dynamic-wind (lambda () (set-output-port port))
                  thunk
                  (lambda () (set-output-port old)))))

(define (%with-input-port port thunk)
  (let ((old (current-input-port)))
    (dynamic-wind (lambda () (set-input-port port))
                  thunk
                  (lambda () (set-input-port old)))))

(define (with-output-to-string thunk)
  (call-with-output-string (lambda (port) (%with-output-port port thunk))))

(define (%open-or-fail open name)
  (or (open name) (error "unable to open" name)))

(define (call-with-input-file name proc)
  (let* ((port (%open-or-fail open-input-file name))
         (result (proc port)))
    (close-input-port port)
    result))

(define (call-with-output-file name proc)
  (let* ((port (%open-or-fail open-output-file name))
         (result (proc port)))
    (close-output-port port)
    result))

(define (with-input-from-file name thunk)
  (call-with-input-file name (lambda (port) (%with-input-port port thunk))))

(define (with-output-to-file name thunk)
  (call-with-output-file name (lambda (port) (%with-output-port port thunk))))

;; Evaluates every expression of text in turn (in the global environment unless one is given)
;; and returns the value of the last.
(define (eval-string text . env)
  (let ((port (open-input-string text))
        (env (if (pair? env) (car env) (interaction-environment))))
    (let loop ((value '()))
      (let ((form (read port)))
        (if (eof-object? form)
            value
            (loop (eval form env)))))))
