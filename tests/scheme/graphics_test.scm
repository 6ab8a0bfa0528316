;;; graphics.scm: colours, the drawing helpers' tasks and checks, and the animation loop, with a recorder standing
;;; in for the native scheduler and a clock the test moves.

;; Run after ombrel.scm and graphics.scm (see CMakeLists.txt).

(define clock 0)
(define (now) clock)
(define scheduled '())
(define (call-cpp-at-time time callback? target value protected)
  (set! scheduled (cons (list time callback? target value) scheduled))
  #t)
(define *callback* 'callback)
(define *gfx:draw-path* 'draw-path)
(define *draw-line* 'draw-line)
(define *gfx:clear-canvas* 'clear)
(define *gfx:draw-image* 'draw-image)
(define *gfx:draw-text* 'draw-text)
(define (rev l) (if (null? l) '() (reverse l)))
(define (scheduled-by thunk)
  (set! scheduled '())
  (thunk)
  (rev scheduled))

;; ---- colours ---------------------------------------------------------------------------------------------------
(check "colours are (r g b a) of inexact reals, clamped to 0..1"
       (list (rgb 1 0 1/2) (rgba 2 -1 0 0.5) (grey 0.25) (grey 1 0) (named-colour 'orange 0.5))
       '((1. 0. .5 1.) (1. 0. 0. .5) (.25 .25 .25 1.) (1. 1. 1. 0.) (1. .5 0. .5)))
(check "hsv: the primaries at their thirds, the hue wrapping, grey at no saturation"
       (list (hsv 0 1 1) (hsv 1/4 1 1) (hsv 1/3 1 1) (hsv 2/3 1 1) (hsv 5/3 1 1) (hsv -1/3 1 1)
             (hsv 0.7 0 0.5 0.25))
       '((1. 0. 0. 1.) (.5 1. 0. 1.) (0. 1. 0. 1.) (0. 0. 1. 1.) (0. 0. 1. 1.) (0. 0. 1. 1.)
         (.5 .5 .5 .25)))
(check-error "an unknown colour name is an error" (lambda () (named-colour 'mauve)))
(check-error "a colour part that is not a number is an error" (lambda () (rgb 1 'x 0)))

;; ---- drawing at a time -----------------------------------------------------------------------------------------
(check "each helper schedules its task at an exact time with its arguments in the native order"
       (scheduled-by (lambda ()
                       (draw-path 10.4 'c 'p '(1 1 1 1) '() 2)
                       (draw-path 11 'c 'p 'erase '())
                       (draw-line 12 'c 0 0 5 5 '(0 0 0 1))
                       (clear-canvas 13 'c)
                       (clear-canvas 14 'c '(0 0 0 1))
                       (draw-image 15 'c 'img 1 '(1 2))
                       (draw-text 16 'c "hi" 'style '(0 0 10 10))))
       '((10 #f draw-path (c p (1 1 1 1) () 2)) (11 #f draw-path (c p erase ()))
         (12 #f draw-line (c 0 0 5 5 (0 0 0 1))) (13 #f clear (c)) (14 #f clear (c (0 0 0 1)))
         (15 #f draw-image (c img 1 (1 2))) (16 #f draw-text (c "hi" style (0 0 10 10)))))
(check-error "a time that is not a number is refused before anything is scheduled"
             (lambda () (draw-line 'soon 'c 0 0 1 1 '(0 0 0 1))))
(check-error "draw-text refuses a text that is not a string" (lambda () (draw-text 0 'c 'hi 'style '(0 0 1 1))))

;; ---- animation -------------------------------------------------------------------------------------------------
;; Runs the earliest pending callback, as the scheduler would when its time comes.
(define (run-next-callback)
  (let ((calls (rev scheduled)))
    (set! scheduled '())
    (if (pair? calls)
        (let ((c (car calls)))
          (set! clock (car c))
          (apply (car (cadddr c)) (cdr (cadddr c)))
          (car c))
        #f)))

(define frames '())
(define a (begin (set! scheduled '()) (set! clock 1000)
                 (animate 'canvas 48 (lambda (n t) (set! frames (cons (list n t) frames)) (if (= n 3) 'stop #t)))))
(check "animate: frames count from 0, one period apart, each called half a period before its time; 'stop ends it"
       (let loop ((called '()))
         (let ((at (run-next-callback)))
           (if at (loop (cons at called)) (list (rev called) (rev frames)))))
       '((1500 2500 3500 4500) ((0 2000) (1 3000) (2 4000) (3 5000))))
(set! frames '())
(define b (begin (set! scheduled '()) (animate 'canvas 48 (lambda (n t) (set! frames (cons n frames))))))
(check "stop-animation: no frame is called after it"
       (begin (run-next-callback) (run-next-callback) (stop-animation b) (run-next-callback) (run-next-callback)
              (rev frames))
       '(0 1))
(check-error "animate refuses a rate of 0" (lambda () (animate 'canvas 0 (lambda (n t) #t))))

(check-report)
