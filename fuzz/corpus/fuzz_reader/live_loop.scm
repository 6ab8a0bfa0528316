(define (loop beat)
  (play-note (now) synth 60 80 (* 2.0 *second*))
  (callback (+ beat 1/2) (quote loop) (+ beat 1/2)))
(loop (now))
