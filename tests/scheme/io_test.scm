;;; io.scm: MIDI and OSC input routed to handlers, called as the system calls io:midi-in and io:osc-receive; the
;;; sending helpers' messages and argument checks, with a recorder standing in for the native scheduler.

;; Run after ombrel.scm and io.scm (see CMakeLists.txt).

;; What reaches the scheduler, and what the handlers saw, oldest first.
(define scheduled '())
(define (call-cpp-at-time time callback? target value protected)
  (set! scheduled (cons (cons time (cons target value)) scheduled))
  #t)
(define *io:midi-out* 'midi-out)
(define *io:midi-sysex-out* 'sysex-out)
(define *io:osc-send-msg* 'osc-out)
(define (scheduled-by thunk)
  (set! scheduled '())
  (thunk)
  (if (null? scheduled) '() (reverse scheduled)))

(define seen '())
(define (saw . what) (set! seen (cons what seen)))
(define (seen-by thunk)
  (set! seen '())
  (let ((result (thunk)))
    (cons result (if (null? seen) '() (reverse seen)))))
(define (midi . message) (seen-by (lambda () (apply io:midi-in message))))

;; ---- MIDI input ------------------------------------------------------------------------------------------------
(io:on-midi 'note-on (lambda (source channel pitch velocity) (saw 'on source channel pitch velocity)))
(io:on-midi 'note-off (lambda (source channel pitch velocity) (saw 'off source channel pitch velocity)))
(io:on-midi 'cc 3 (lambda (source channel controller value) (saw 'cc3 controller value)))
(io:on-midi 11 (lambda (source channel controller value) (saw 'cc channel controller value)))
(io:on-midi #t (lambda (source type channel data1 data2) (saw 'any source type channel data1 data2)))

(check "each matching handler runs, in registration order; a handler for any type is told the type"
       (list (midi 12345 9 2 60 100) (midi 'virtual 11 3 7 90) (midi 7 11 4 1 2) (midi 'virtual 12 0 5 0))
       '((#t (on 12345 2 60 100) (any 12345 9 2 60 100))
         (#t (cc3 7 90) (cc 3 7 90) (any virtual 11 3 7 90))
         (#t (cc 4 1 2) (any 7 11 4 1 2))
         (#t (any virtual 12 0 5 0))))
(check "a note on with velocity 0 is routed as a note off, to every handler"
       (midi 'virtual 9 0 60 0) '(#t (off virtual 0 60 0) (any virtual 8 0 60 0)))
(check "registering the same type and channel again replaces the handler in its place"
       (begin (io:on-midi 9 (lambda (source channel pitch velocity) (saw 'on-again pitch)))
              (io:on-midi 'cc 3 (lambda (source channel controller value) (saw 'cc3-again value)))
              (list (midi 1 9 0 61 1) (midi 1 11 3 7 8)))
       '((#t (on-again 61) (any 1 9 0 61 1)) (#t (cc3-again 8) (cc 3 7 8) (any 1 11 3 7 8))))
(check "removing one handler leaves the others; unmatched input does nothing"
       (list (io:remove-midi-handler #t) (io:remove-midi-handler #t) (io:remove-midi-handler 'cc 3)
             (midi 1 11 3 7 8) (midi 1 13 0 40 0))
       '(#t #f #t (#t (cc 3 7 8)) (#f)))

(check "a handler that changes the handlers does not disturb the message being routed"
       (begin (io:remove-midi-handlers)
              (io:on-midi 'cc (lambda args (io:remove-midi-handlers) (saw 'first)))
              (io:on-midi 'cc 0 (lambda args (saw 'second)))
              (list (midi 1 11 0 1 1) (midi 1 11 0 1 1)))
       '((#t (first) (second)) (#f)))
(check "an error in a handler ends that message only"
       (begin (io:on-midi 'note-on (lambda (s c pitch v) (if (= pitch 13) (error "unlucky" pitch))))
              (io:on-midi #t (lambda args (saw 'after)))
              (list (error-of (lambda () (midi 1 9 0 13 100))) seen (midi 1 9 0 60 100)))
       '(("unlucky" 13) () (#t (after))))
(io:remove-midi-handlers)

;; ---- OSC input -------------------------------------------------------------------------------------------------
(define registrations 0)
(define (io:osc-register-events) (set! registrations (+ registrations 1)) '())

(io:on-osc "/a" (lambda args (saw '/a args)))
(io:on-osc "/fader/*" (lambda (address value) (saw 'fader address value)))
(io:on-osc "/a*b" (lambda args (saw 'star-inside args)))

;; The text the OSC server builds, evaluated as the process evaluates it.
(define (osc text) (seen-by (lambda () (eval-string text))))

(check "registering a handler asks for OSC input" registrations 3)
(check "an exact address gets the arguments; a trailing star matches a prefix and passes the address"
       (map osc '("(io:osc-receive \"/a\" 1 0.5 \"x\")" "(io:osc-receive \"/a\" 1 (list  0.5 0.25))"
                  "(io:osc-receive \"/fader/12\" 0.75)" "(io:osc-receive \"/a*b\")"
                  "(io:osc-receive \"/a\" \"say \\\"hi\\\" \\\\ bye\")"
                  "(io:osc-receive \"/ab\")" "(io:osc-receive \"/a/b\" 1)" "(io:osc-receive \"/fader\" 1)"
                  "(io:osc-receive \"/axb\")"))
       '((#t (/a (1 0.5 "x"))) (#t (/a (1 (0.5 0.25)))) (#t (fader "/fader/12" 0.75)) (#t (star-inside ()))
         (#t (/a ("say \"hi\" \\ bye"))) (#f) (#f) (#f) (#f)))
(check "a catch-all runs after the handlers registered before it; re-registering keeps one handler in its place"
       (begin (io:on-osc "*" (lambda (address . args) (saw 'all address)))
              (io:on-osc "/a" (lambda args (saw 'a-again)))
              (osc "(io:osc-receive \"/a\" 1)"))
       '(#t (a-again) (all "/a")))
(check "removing handlers"
       (list (io:remove-osc-handler "/a") (io:remove-osc-handler "/a") (osc "(io:osc-receive \"/a\" 1)")
             (io:remove-osc-handlers) (osc "(io:osc-receive \"/fader/1\" 1)"))
       '(#t #f (#t (all "/a")) #t (#f)))

;; ---- sending ---------------------------------------------------------------------------------------------------
(define out 'destination)

(check "MIDI messages go out with their proper length; reals are rounded"
       (scheduled-by (lambda ()
                       (midi-send 10 out 'cc 1 7 100)
                       (midi-send 10 out 'program 1 5 99)
                       (midi-send 10 out 'note-on 1 60)
                       (midi-cc 11 out 2 74 63.6)
                       (midi-program 12 out 15 0)))
       '((10 midi-out destination 11 1 7 100) (10 midi-out destination 12 1 5) (10 midi-out destination 9 1 60 0)
         (11 midi-out destination 11 2 74 64) (12 midi-out destination 12 15 0)))
(check "midi-note: the note off lands duration frames after the note on"
       (scheduled-by (lambda () (midi-note 1001/2 out 9 36 100 (seconds 1/4))))
       '((500 midi-out destination 9 9 36 100) (12500 midi-out destination 8 9 36 0)))
(check "midi-pitch-bend splits the value into LSB and MSB"
       (scheduled-by (lambda () (for-each (lambda (v) (midi-pitch-bend 0 out 0 v)) '(0 8192 16383 8191.7))))
       '((0 midi-out destination 14 0 0 0) (0 midi-out destination 14 0 0 64)
         (0 midi-out destination 14 0 127 127) (0 midi-out destination 14 0 0 64)))
(check "midi-sysex and osc-send pass their data through"
       (scheduled-by (lambda ()
                       (midi-sysex 0 out '(240 67 16 247))
                       (midi-sysex 0 out #(240 247))
                       (midi-sysex 0 *io:midi-sysex-out* "raw")
                       (osc-send 5 "localhost" 7000 "/synth/freq" 440.0 1 "saw" (list 1 2))
                       (osc-send 5 "localhost" 7000 "/ping")))
       '((0 sysex-out destination (240 67 16 247)) (0 sysex-out destination #(240 247)) (0 sysex-out sysex-out "raw")
         (5 osc-out "localhost" 7000 "/synth/freq" (440.0 1 "saw" (1 2))) (5 osc-out "localhost" 7000 "/ping" ())))

(set! scheduled '())
(check "bad arguments are refused at once, naming the helper, and nothing is scheduled"
       (let ((messages (map (lambda (thunk) (car (error-of thunk)))
                            (list (lambda () (io:on-midi 'nope car))
                                  (lambda () (io:on-midi 'cc 16 car))
                                  (lambda () (io:on-midi 'cc))
                                  (lambda () (midi-send 0 #f 'cc 0 1 2))
                                  (lambda () (midi-send 'soon out 'cc 0 1 2))
                                  (lambda () (midi-note 0 out 16 60 100 10))
                                  (lambda () (midi-note 0 out 0 60 100 -1))
                                  (lambda () (midi-pitch-bend 0 out 0 16384))
                                  (lambda () (midi-sysex 0 out '(67 16 247)))
                                  (lambda () (midi-sysex 0 out '(240 128 247)))
                                  (lambda () (osc-send 0 "localhost" 0 "/a"))
                                  (lambda () (osc-send 0 "localhost" 7000 "a"))))))
         (list messages scheduled))
       '(("io:on-midi: unknown MIDI message type:"
          "io:on-midi: the channel must be from 0 to 15:"
          "io:on-midi: use (io:on-midi type [channel] procedure), not:"
          "midi-send: no destination (io:midi-destination gives #f for an index it does not know):"
          "midi-send: the time must be a sample time (a number):"
          "midi-note: the channel must be from 0 to 15:"
          "midi-note: the duration must be a number of frames, 0 or more:"
          "midi-pitch-bend: the value must be from 0 to 16383:"
          "midi-sysex: a system-exclusive message starts with 240 (F0) and ends with 247 (F7):"
          "midi-sysex: the bytes between F0 and F7 must be integers from 0 to 127:"
          "osc-send: the port must be an integer from 1 to 65535:"
          "osc-send: the address must be a string starting with /:")
         ()))

(check-report)
