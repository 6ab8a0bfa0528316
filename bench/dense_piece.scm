;; A dense piece for timing offline renders: the GM synth playing 16 voices at a time through a reverb, a new chord
;; every eighth of a second, programs changing as it goes.
(define gm (au:make-gm))
(define verb (au:make-effect "mrev"))
(au:chain gm verb)
(define (chord t n)
  (let loop ((v 0))
    (when (< v 16)
      (play-note t gm (+ 36 (* 3 v) (modulo n 5)) (+ 60 (* 3 v)) (seconds 1/8) (modulo v 8))
      (loop (+ v 1))))
  (when (= 0 (modulo n 16)) (gm-program t gm (modulo n 8) (modulo n 100)))
  (callback (+ t (seconds 1/8)) chord (+ t (seconds 1/8)) (+ n 1)))
(chord 0 0)
