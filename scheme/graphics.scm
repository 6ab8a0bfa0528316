;;; graphics.scm -- drawing from Scheme: drawing tasks at a sample time, colours, and an animation loop.
;;; Loaded after ombrel.scm, whose schedule, callback and round->integer it uses.

;; ---- checking arguments ----------------------------------------------------------------------------------------
;; Caught here so the error names the helper, rather than when the task falls due and the canvas refuses it.
(define (%gfx:fail who what value)
  (error (string-append who ": " what) value))

(define (%gfx:time who time)
  (if (not (real? time)) (%gfx:fail who "the time must be a sample time (a number):" time))
  time)

;; ---- colours ---------------------------------------------------------------------------------------------------
;; A colour is a list (r g b a) of reals from 0 to 1; out-of-range parts are clamped so oscillators can drive them.
(define (%gfx:unit who x)
  (if (not (real? x)) (%gfx:fail who "a colour part must be a number:" x))
  (exact->inexact (max 0 (min 1 x))))

(define (rgba r g b a)
  (map (lambda (x) (%gfx:unit "rgba" x)) (list r g b a)))

(define (rgb r g b) (rgba r g b 1))

;; (grey level [alpha])
(define (grey level . alpha)
  (rgba level level level (if (pair? alpha) (car alpha) 1)))

;; (hsv hue saturation value [alpha]): hue in turns (0 to 1, wrapping), so a hue can simply keep counting up.
(define (hsv h s v . alpha)
  (if (not (real? h)) (%gfx:fail "hsv" "the hue must be a number:" h))
  (let* ((h6 (* 6 (- h (floor h))))
         (i (inexact->exact (floor h6)))
         (f (- h6 i))
         (s (%gfx:unit "hsv" s))
         (v (%gfx:unit "hsv" v))
         (p (* v (- 1 s)))
         (q (* v (- 1 (* s f))))
         (t (* v (- 1 (* s (- 1 f)))))
         (a (if (pair? alpha) (car alpha) 1)))
    (case i
      ((0) (rgba v t p a)) ((1) (rgba q v p a)) ((2) (rgba p v t a))
      ((3) (rgba p q v a)) ((4) (rgba t p v a)) (else (rgba v p q a)))))

(define %gfx:named-colours
  '((black 0 0 0) (white 1 1 1) (red 1 0 0) (green 0 1 0) (blue 0 0 1) (yellow 1 1 0) (cyan 0 1 1)
    (magenta 1 0 1) (orange 1 0.5 0) (purple 0.5 0 0.5) (grey 0.5 0.5 0.5)))

;; (named-colour name [alpha]), e.g. (named-colour 'orange 0.5).
(define (named-colour name . alpha)
  (let ((known (assq name %gfx:named-colours)))
    (if (not known) (%gfx:fail "named-colour" "unknown colour name:" name))
    (rgba (cadr known) (caddr known) (cadddr known) (if (pair? alpha) (car alpha) 1))))

;; ---- drawing at a time -----------------------------------------------------------------------------------------
;; Each helper schedules one drawing task and returns what schedule returns. A stroke or fill is a colour, '()
;; for none, or a symbol such as 'erase to clear what the shape covers.

;; (draw-path time canvas path stroke fill [width])
(define (draw-path time canvas path stroke fill . width)
  (%gfx:time "draw-path" time)
  (apply schedule time *gfx:draw-path* canvas path stroke fill width))

;; (draw-line time canvas x1 y1 x2 y2 colour)
(define (draw-line time canvas x1 y1 x2 y2 colour)
  (%gfx:time "draw-line" time)
  (schedule time *draw-line* canvas x1 y1 x2 y2 colour))

;; (clear-canvas time canvas [colour]): transparent when no colour is given.
(define (clear-canvas time canvas . colour)
  (%gfx:time "clear-canvas" time)
  (apply schedule time *gfx:clear-canvas* canvas colour))

;; (draw-image time canvas image alpha [(x y) or (x y w h) [(x y w h) of the source]])
(define (draw-image time canvas image alpha . rects)
  (%gfx:time "draw-image" time)
  (apply schedule time *gfx:draw-image* canvas image alpha rects))

;; (draw-text time canvas string style (x y w h))
(define (draw-text time canvas text style rect)
  (%gfx:time "draw-text" time)
  (if (not (string? text)) (%gfx:fail "draw-text" "the text must be a string:" text))
  (schedule time *gfx:draw-text* canvas text style rect))

;; ---- animation -------------------------------------------------------------------------------------------------
;; (animate canvas fps proc) calls (proc frame time) once a frame, frame counting from 0 and time being the
;; sample time the frame is due: proc draws at that time. The call runs half a frame early so its tasks are queued
;; before they fall due. Returns the animation, for stop-animation; also stops when proc returns 'stop.
(define (animate canvas fps proc)
  (if (not (and (real? fps) (positive? fps))) (%gfx:fail "animate" "fps must be a number above 0:" fps))
  (if (not (procedure? proc)) (%gfx:fail "animate" "proc must be a procedure:" proc))
  (let* ((period (max 1 (round->integer (/ *second* fps))))
         (lead (quotient period 2))
         (animation (vector #t canvas))
         (start (+ (now) period)))
    (define (frame n time)
      (if (vector-ref animation 0)
          (if (eq? (proc n time) 'stop)
              (vector-set! animation 0 #f)
              (callback (- (+ time period) lead) frame (+ n 1) (+ time period)))))
    (callback (- start lead) frame 0 start)
    animation))

;; (stop-animation animation): no further frame is called; tasks already scheduled still draw.
(define (stop-animation animation)
  (vector-set! animation 0 #f)
  #t)
