;;; mbe.scm -- macros by example: define-syntax, let-syntax and letrec-syntax with syntax-rules.
;;;
;;; A syntax-rules transformer matches the whole form against each pattern in turn (the pattern's
;;; first element, the keyword, is skipped) and rewrites the first match by its template.
;;; Patterns: pattern variables, literals (matched by name), _ (matches anything, binds nothing),
;;; nested lists, vectors, dotted tails, and an ellipsis after any subpattern, with further
;;; patterns after it: (a b ... c d). Templates: ellipses nest to the depth of their variables,
;;; consecutive ellipses flatten ((x ... ...)), and (... ...) stands for a literal ellipsis.
;;; (syntax-rules ellipsis (literal...) rule...) names another symbol as the ellipsis.
;;;
;;; The expansion is not hygienic: symbols a template introduces mean whatever they mean where the
;;; macro is used, and a template's temporaries can capture the user's variables of the same name.
;;; Expansion happens each time the form is evaluated.

;; Makes the transformer for (syntax-rules literals rules...), a procedure of the whole form.
(define %syntax-rules-transformer
  (let ((%cons cons) (%car car) (%cdr cdr) (%append append) (%vector->list vector->list)
        (%list->vector list->vector) (%memq memq) (%assq assq) (%rev reverse))
    (lambda (literals rules)
      (define ellipsis '...)
      (if (symbol? literals)
          (begin (set! ellipsis literals)
                 (set! literals (%car rules))
                 (set! rules (%cdr rules))))

      (define (ellipsis? x) (eq? x ellipsis))
      (define (ellipsis-follows? p) (and (pair? (%cdr p)) (ellipsis? (%car (%cdr p)))))
      (define (count-pairs x)
        (let loop ((x x) (n 0)) (if (pair? x) (loop (%cdr x) (+ n 1)) n)))
      (define (pattern-variable? x)
        (and (symbol? x) (not (%memq x literals)) (not (eq? x '_)) (not (ellipsis? x))))

      ;; ((var . depth) ...) for a pattern, depth counting the ellipses above each variable
      (define (pattern-depths pat depth acc)
        (cond ((pattern-variable? pat) (%cons (%cons pat depth) acc))
              ((pair? pat)
               (if (ellipsis-follows? pat)
                   (pattern-depths (%cdr (%cdr pat)) depth (pattern-depths (%car pat) (+ depth 1) acc))
                   (pattern-depths (%cdr pat) depth (pattern-depths (%car pat) depth acc))))
              ((vector? pat) (pattern-depths (%vector->list pat) depth acc))
              (else acc)))

      ;; Bindings ((var . value) ...) extended by matching form, or #f. A variable under an
      ;; ellipsis is bound to the list of its values, one per repetition.
      (define (match pat form bindings)
        (cond ((pair? pat)
               (if (ellipsis-follows? pat)
                   (match-repeated pat form bindings)
                   (and (pair? form)
                        (let ((b (match (%car pat) (%car form) bindings)))
                          (and b (match (%cdr pat) (%cdr form) b))))))
              ((symbol? pat)
               (cond ((pattern-variable? pat) (%cons (%cons pat form) bindings))
                     ((eq? pat '_) bindings)
                     (else (and (eq? pat form) bindings))))
              ((null? pat) (and (null? form) bindings))
              ((vector? pat)
               (and (vector? form) (match (%vector->list pat) (%vector->list form) bindings)))
              (else (and (equal? pat form) bindings))))

      ;; (p <ellipsis> . rest): p takes as many elements as rest leaves over
      (define (match-repeated pat form bindings)
        (let* ((rest (%cdr (%cdr pat)))
               (times (- (count-pairs form) (count-pairs rest))))
          (and (>= times 0)
               (let loop ((i 0) (form form) (each '()))
                 (if (< i times)
                     (let ((b (match (%car pat) (%car form) '())))
                       (and b (loop (+ i 1) (%cdr form) (%cons b each))))
                     (let ((b (match rest form bindings)))
                       (and b
                            (let ((each (reverse-or-empty each)))
                              (let collect ((vars (pattern-depths (%car pat) 0 '())) (b b))
                                (if (null? vars)
                                    b
                                    (collect (%cdr vars)
                                             (%cons (%cons (%car (%car vars))
                                                         (map (lambda (one) (%cdr (%assq (%car (%car vars)) one)))
                                                              each))
                                                   b))))))))))))

      (define (reverse-or-empty l) (if (null? l) l (%rev l)))

      ;; Template expansion. env: ((var depth . value) ...); a variable of depth d > 0 holds a
      ;; list of values of depth d - 1.
      (define (expand tmpl env literal-ellipsis)
        (cond ((symbol? tmpl)
               (let ((b (%assq tmpl env)))
                 (cond ((not b) tmpl)
                       ((= (%car (%cdr b)) 0) (%cdr (%cdr b)))
                       (else (error "syntax-rules: pattern variable used without its ellipsis in the template:" tmpl)))))
              ((pair? tmpl)
               (cond ((and (not literal-ellipsis) (ellipsis? (%car tmpl)) (pair? (%cdr tmpl)))
                      (expand (%car (%cdr tmpl)) env #t))
                     ((and (not literal-ellipsis) (ellipsis-follows? tmpl))
                      (let count ((rest (%cdr (%cdr tmpl))) (k 1))
                        (if (and (pair? rest) (ellipsis? (%car rest)))
                            (count (%cdr rest) (+ k 1))
                            (%append (expand-repeated (%car tmpl) k env)
                                    (expand rest env #f)))))
                     (else (%cons (expand (%car tmpl) env literal-ellipsis)
                                 (expand (%cdr tmpl) env literal-ellipsis)))))
              ((vector? tmpl) (%list->vector (expand (%vector->list tmpl) env literal-ellipsis)))
              (else tmpl)))

      (define (template-symbols tmpl acc)
        (cond ((symbol? tmpl) (if (%memq tmpl acc) acc (%cons tmpl acc)))
              ((pair? tmpl) (template-symbols (%cdr tmpl) (template-symbols (%car tmpl) acc)))
              ((vector? tmpl) (template-symbols (%vector->list tmpl) acc))
              (else acc)))

      ;; The expansions of sub followed by k ellipses, as a list to splice. The variables of sub
      ;; that still have repetitions drive it, in step.
      (define (expand-repeated sub k env)
        (let ((drivers (let keep ((syms (template-symbols sub '())) (acc '()))
                         (if (null? syms)
                             acc
                             (let ((b (%assq (%car syms) env)))
                               (keep (%cdr syms) (if (and b (> (%car (%cdr b)) 0)) (%cons b acc) acc)))))))
          (if (null? drivers)
              (error "syntax-rules: no pattern variable with an ellipsis in template:" sub))
          (let ((times (length (%cdr (%cdr (%car drivers))))))
            (for-each (lambda (b)
                        (if (not (= (length (%cdr (%cdr b))) times))
                            (error "syntax-rules: ellipsis variables repeat unequally:" (%car b))))
                      drivers)
            (let loop ((rests (map (lambda (b) (%cdr (%cdr b))) drivers)) (acc '()))
              (if (null? (%car rests))
                  (if (= k 1) (reverse-or-empty acc) (apply %append (reverse-or-empty acc)))
                  (let ((env (%append (map (lambda (b values)
                                            (%cons (%car b) (%cons (- (%car (%cdr b)) 1) (%car values))))
                                          drivers rests)
                                     env)))
                    (loop (map %cdr rests)
                          (%cons (if (= k 1) (expand sub env #f) (expand-repeated sub (- k 1) env))
                                acc))))))))

      ;; Each rule with the depths of its pattern's variables, worked out once.
      (define compiled
        (map (lambda (rule)
               (if (not (and (pair? rule) (pair? (%car rule)) (pair? (%cdr rule))))
                   (error "syntax-rules: a rule must be (pattern template):" rule))
               (list (%cdr (%car rule))
                     (%car (%cdr rule))
                     (pattern-depths (%cdr (%car rule)) 0 '())))
             rules))

      (lambda (form)
        (let try ((rules compiled))
          (if (null? rules)
              (error "syntax-rules: no pattern matches:" form)
              (let* ((rule (%car rules))
                     (b (match (%car rule) (%cdr form) '())))
                (if b
                    (expand (%car (%cdr rule))
                            (map (lambda (binding)
                                   (%cons (%car binding)
                                         (%cons (%cdr (%assq (%car binding) (%car (%cdr (%cdr rule)))))
                                               (%cdr binding))))
                                 b)
                            #f)
                    (try (%cdr rules))))))))))

(macro syntax-rules
  (let ((%list list) (make %syntax-rules-transformer))
    (lambda (form)
      (if (not (pair? (cdr form))) (error "syntax-rules: bad syntax:" form))
      (%list make (%list 'quote (car (cdr form))) (%list 'quote (cdr (cdr form)))))))

;; The transformer expression is usually (syntax-rules ...); any other expression must give a
;; procedure of the whole form, which is wrapped so the macro tag lands on a closure of our own.
(define %syntax-binding
  (let ((%list list))
    (define (own proc) (lambda (form) (proc form)))
    (lambda (name transformer)
      (if (not (symbol? name)) (error "define-syntax: not a symbol:" name))
      (%list 'macro name
            (if (and (pair? transformer) (eq? (car transformer) 'syntax-rules))
                transformer
                (%list own transformer))))))

(macro define-syntax
  (let ((binding %syntax-binding))
    (lambda (form)
      (if (not (and (pair? (cdr form)) (pair? (cdr (cdr form)))))
          (error "define-syntax: bad syntax:" form))
      (binding (car (cdr form)) (car (cdr (cdr form)))))))

;; The keywords are bound in a new scope around the body. Without hygiene the two forms differ
;; only in name: an expansion may use any keyword of the scope.
(define %syntax-scope
  (let ((%cons cons) (%map map) (binding %syntax-binding) (%append append))
    (lambda (form)
      (if (not (and (pair? (cdr form)) (list? (car (cdr form)))))
          (error "let-syntax: bad syntax:" form))
      (%cons 'let
            (%cons '()
                  (%append (%map (lambda (b) (binding (car b) (car (cdr b)))) (car (cdr form)))
                          (cdr (cdr form))))))))

(macro let-syntax (lambda (form) (%syntax-scope form)))
(macro letrec-syntax (lambda (form) (%syntax-scope form)))
