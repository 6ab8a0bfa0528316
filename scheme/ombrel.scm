;;; ombrel.scm -- the live-coding library: time, scheduling, tempo, randomness, oscillators and the default
;;; handlers of the events the system sends to Scheme. Loaded by every process after the native libraries.

;; ---- time ------------------------------------------------------------------------------------------------------
;; Times are sample frames on the one clock that (now) reads.
(define *samplerate* *au:samplerate*)
(define *second* *au:samplerate*)
(define *minute* (* 60 *au:samplerate*))
(define *hour* (* 3600 *au:samplerate*))

(define (seconds n) (round->integer (* n *second*)))

;; The nearest exact integer: scheduling times must be exact.
(define (round->integer x)
  (if (integer? x) x (inexact->exact (round (exact->inexact x)))))

;; ---- scheduling ------------------------------------------------------------------------------------------------
;; (callback time proc arg ...) calls (proc arg ...) at sample time `time`, in this process. A procedure that
;; schedules itself this way keeps playing: temporal recursion. The value list is what stays protected until the
;; call has run.
(define (callback time proc . args)
  (let ((value (cons proc args)))
    (call-cpp-at-time (round->integer time) #t *callback* value value)))

;; (callback-tagged time tag proc arg ...): as callback, discarded while `tag` is blocked (sys:set-block).
(define (callback-tagged time tag proc . args)
  (let ((value (cons proc args)))
    (call-cpp-at-time (cons (round->integer time) tag) #t *callback* value value)))

;; (schedule time target arg ...) runs a native task target such as *note-on* at `time` with the arguments.
(define (schedule time target . args)
  (call-cpp-at-time (round->integer time) #f target args args))

;; ---- tempo -----------------------------------------------------------------------------------------------------
;; (make-metro bpm) returns a metronome: (m beat) is the sample time of `beat` (beats may be fractions such as
;; 1/3); (m 'get-beat) the current beat, rounded up to a multiple of an optional quantum: (m 'get-beat 4);
;; (m 'set-tempo bpm) changes tempo from now on without moving the current beat; (m 'get-tempo).
(define (make-metro bpm)
  (let* ((start-time (now))
         (start-beat 0)
         (tempo bpm)
         (samples-per-beat (lambda () (/ (* 60 *samplerate*) tempo)))
         (beat-at (lambda (time) (+ start-beat (/ (- time start-time) (samples-per-beat)))))
         (time-at (lambda (beat) (+ start-time (* (- beat start-beat) (samples-per-beat))))))
    (lambda (msg . args)
      (cond ((number? msg) (round->integer (time-at msg)))
            ((eq? msg 'get-beat)
             (let ((b (beat-at (now))))
               (if (null? args)
                   b
                   (let ((q (car args)))
                     (* q (+ 1 (floor->integer (/ b q))))))))
            ((eq? msg 'set-tempo)
             (let ((t (now)))
               (set! start-beat (beat-at t))
               (set! start-time t)
               (set! tempo (car args))
               tempo))
            ((eq? msg 'get-tempo) tempo)
            ((eq? msg 'dur) (round->integer (* (car args) (samples-per-beat))))
            (else (error "metro: unknown message" msg))))))

(define (floor->integer x)
  (if (integer? x) x (inexact->exact (floor (exact->inexact x)))))

;; ---- randomness -------------------------------------------------------------------------------------------------
(define (random n) (random-int n))
(define (random-choice lst) (list-ref lst (random-int (length lst))))
(define (random-range lo hi) (+ lo (random-int (- hi lo))))
(define (random-real-range lo hi) (+ lo (* (random-real) (- hi lo))))
(define (coin p) (< (random-real) p))

;; ---- oscillators over time -----------------------------------------------------------------------------------
;; (cosr centre range period) swings around centre by range, one cycle every `period` samples of the clock.
(define *pi* 3.141592653589793)
(define (cosr centre range period)
  (+ centre (* range (cos (* 2 *pi* (/ (exact->inexact (now)) period))))))
(define (sinr centre range period)
  (+ centre (* range (sin (* 2 *pi* (/ (exact->inexact (now)) period))))))

;; ---- default event handlers ------------------------------------------------------------------------------------
;; The system evaluates calls of these when MIDI, OSC, mouse, key or object events arrive. They do nothing
;; until a performer defines their own; a file loaded later may redefine them freely.
(define (%define-default name)
  (if (not (defined? name (interaction-environment)))
      (eval (list 'define name '(lambda args #f)) (interaction-environment))))

(for-each %define-default
          '(io:midi-in io:osc-receive io:mouse-down io:mouse-up io:mouse-drag io:mouse-move
            io:right-mouse-down io:right-mouse-up io:right-mouse-drag gfx:canvas-key-down gfx:canvas-key-up
            io:key-down io:key-up io:caps-key-down io:caps-key-up objc:action))
