;; A first piece: a subtractive synth through a delay, a pattern that plays itself.
(define synth (au:make-synth))
(define echo (au:make-effect "dely"))
(au:chain synth echo)

(define (pattern beat)
  (let ((pitch (+ 48 (* 3 (random 8)))))
    (play-pitch (now) synth pitch 90 (* 1/4 *second*))
    (print "beat" beat "pitch" pitch))
  (callback (+ (now) (* 1/2 *second*)) pattern (+ beat 1/2)))

(pattern 0)
