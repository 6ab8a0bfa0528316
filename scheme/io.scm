;;; io.scm -- MIDI and OSC from Scheme: sending messages at a sample time, and routing what arrives to handlers
;;; registered per message kind or per address. Loaded after ombrel.scm, whose schedule and round->integer it uses.

;; ---- checking arguments ----------------------------------------------------------------------------------------
;; A bad value is caught here, where the error can name the helper and the argument, rather than when the task
;; falls due and the native side can only say that the message was refused.
(define (%io:fail who what value)
  (error (string-append who ": " what) value))

;; An exact integer from lo to hi; reals are rounded first, so oscillators such as cosr can drive values directly.
(define (%io:integer who name x lo hi)
  (if (not (real? x)) (%io:fail who (string-append name " must be a number:") x))
  (let ((n (round->integer x)))
    (if (or (< n lo) (> n hi))
        (%io:fail who (string-append name " must be from " (number->string lo) " to " (number->string hi) ":") x))
    n))

(define (%io:time who time)
  (if (not (real? time)) (%io:fail who "the time must be a sample time (a number):" time))
  time)

;; io:midi-destination gives #f for a bad index: say so rather than let the task fail quietly later.
(define (%io:destination who dest)
  (if (not dest) (%io:fail who "no destination (io:midi-destination gives #f for an index it does not know):" dest))
  dest)

;; ---- MIDI message types ------------------------------------------------------------------------------------------
;; The status high nibble of each channel message, by the names handlers and senders accept.
(define %io:midi-types
  '((note-off . 8) (note-on . 9) (aftertouch . 10) (cc . 11) (program . 12) (pressure . 13) (pitch-bend . 14)))

(define (%io:midi-type who type)
  (cond ((symbol? type)
         (let ((known (assq type %io:midi-types)))
           (if known (cdr known) (%io:fail who "unknown MIDI message type:" type))))
        ((and (integer? type) (exact? type) (<= 8 type 14)) type)
        (else (%io:fail who "the type must be a name such as note-on or cc, or a number from 8 to 14:" type))))

;; ---- sending MIDI -----------------------------------------------------------------------------------------------
;; dest is (io:midi-destination index) or *io:midi-virtual-device*. Each helper returns what schedule returns.

;; Schedules one message of its proper length: program change and channel pressure carry one data byte, every
;; other channel message two, whatever the caller gave.
(define (%io:send who time dest type channel data1 data2)
  (let ((ch (%io:integer who "the channel" channel 0 15)))
    (%io:time who time)
    (%io:destination who dest)
    (if (or (= type 12) (= type 13))
        (schedule time *io:midi-out* dest type ch data1)
        (schedule time *io:midi-out* dest type ch data1 data2))))

;; (midi-send time dest type channel data1 [data2]): any channel message; type as io:on-midi takes it. data2 is 0
;; when not given, and left out for program and pressure.
(define (midi-send time dest type channel data1 . data2)
  (let ((who "midi-send"))
    (%io:send who time dest (%io:midi-type who type) channel
              (%io:integer who "data1" data1 0 127)
              (%io:integer who "data2" (if (pair? data2) (car data2) 0) 0 127))))

;; (midi-note time dest channel pitch velocity duration): a note on at time, its note off duration frames later.
(define (midi-note time dest channel pitch velocity duration)
  (let* ((who "midi-note")
         (key (%io:integer who "the pitch" pitch 0 127))
         (vel (%io:integer who "the velocity" velocity 0 127)))
    (%io:time who time)
    (if (or (not (real? duration)) (negative? duration))
        (%io:fail who "the duration must be a number of frames, 0 or more:" duration))
    (and (%io:send who time dest 9 channel key vel)
         (%io:send who (+ (round->integer time) (round->integer duration)) dest 8 channel key 0))))

(define (midi-cc time dest channel controller value)
  (let ((who "midi-cc"))
    (%io:send who time dest 11 channel (%io:integer who "the controller" controller 0 127)
              (%io:integer who "the value" value 0 127))))

(define (midi-program time dest channel program)
  (%io:send "midi-program" time dest 12 channel (%io:integer "midi-program" "the program" program 0 127) 0))

;; (midi-pitch-bend time dest channel value): value from 0 to 16383, 8192 in the middle, sent LSB first.
(define (midi-pitch-bend time dest channel value)
  (let ((v (%io:integer "midi-pitch-bend" "the value" value 0 16383)))
    (%io:send "midi-pitch-bend" time dest 14 channel (modulo v 128) (quotient v 128))))

;; (midi-sysex time dest bytes): a whole system-exclusive message. bytes is a data object or a string, sent as
;; they are, or a list or vector of byte values, which must start with 240 (F0), end with 247 (F7) and hold
;; only data bytes (0 to 127) between.
(define (midi-sysex time dest bytes)
  (let ((who "midi-sysex"))
    (%io:time who time)
    (%io:destination who dest)
    (cond ((or (objc? bytes) (string? bytes)))
          ((or (pair? bytes) (and (vector? bytes) (> (vector-length bytes) 0)))
           (%io:sysex-bytes who (if (vector? bytes) (vector->list bytes) bytes)))
          (else (%io:fail who "bytes must be a data object, a string, or a list or vector of byte values:" bytes)))
    (schedule time *io:midi-sysex-out* dest bytes)))

(define (%io:sysex-bytes who bytes)
  (if (not (list? bytes)) (%io:fail who "bytes must be a proper list:" bytes))
  (if (not (and (eqv? (car bytes) 240) (eqv? (car (last-pair bytes)) 247)))
      (%io:fail who "a system-exclusive message starts with 240 (F0) and ends with 247 (F7):" bytes))
  (for-each (lambda (b)
              (if (not (and (integer? b) (exact? b) (<= 0 b 127)))
                  (%io:fail who "the bytes between F0 and F7 must be integers from 0 to 127:" b)))
            (butlast (cdr bytes))))

;; ---- sending OSC ------------------------------------------------------------------------------------------------
;; (osc-send time host port address arg ...): one message; strings, exact integers, reals and lists of them
;; (arrays) as *io:osc-send-msg* sends them.
(define (osc-send time host port address . args)
  (let ((who "osc-send"))
    (%io:time who time)
    (if (not (and (string? host) (> (string-length host) 0)))
        (%io:fail who "the host must be a name or address string:" host))
    (if (not (and (integer? port) (exact? port) (<= 1 port 65535)))
        (%io:fail who "the port must be an integer from 1 to 65535:" port))
    (if (not (and (string? address) (> (string-length address) 0) (char=? (string-ref address 0) #\/)))
        (%io:fail who "the address must be a string starting with /:" address))
    (schedule time *io:osc-send-msg* host port address args)))

;; ---- routing MIDI input -----------------------------------------------------------------------------------------
;; Handlers as (type channel proc), in the order registered; type and channel are #t for any. Lists are rebuilt,
;; never changed in place, so a handler that registers or removes handlers does not disturb the message being
;; routed: it reaches the handlers registered when it arrived.
(define %io:midi-handlers '())

;; Puts entry where the one with the same key was, so a re-evaluated registration keeps its place and does not
;; stack a duplicate; a new key goes last.
(define (%io:replace-or-append entries key entry same-key?)
  (cond ((null? entries) (list entry))
        ((same-key? (car entries) key) (cons entry (cdr entries)))
        (else (cons (car entries) (%io:replace-or-append (cdr entries) key entry same-key?)))))

;; A handler's key is (type channel), either of them #t for any.
(define (%io:midi-key who type channel)
  (list (if (eq? type #t) #t (%io:midi-type who type))
        (if (eq? channel #t) #t (%io:integer who "the channel" channel 0 15))))

(define (%io:same-midi-key? entry key) (and (eqv? (car entry) (car key)) (eqv? (cadr entry) (cadr key))))

;; (io:on-midi type [channel] proc): type is a name such as 'note-on or 'cc, a number from 8 to 14, or #t for
;; any; channel 0 to 15, any when left out. proc gets (source channel data1 data2); a handler for any type also
;; gets the type, as io:midi-in does: (source type channel data1 data2).
(define (io:on-midi type . channel-proc)
  (let* ((who "io:on-midi")
         (channel (if (and (pair? channel-proc) (pair? (cdr channel-proc))) (car channel-proc) #t))
         (proc (if (pair? channel-proc) (car (last-pair channel-proc)) #f))
         (key (%io:midi-key who type channel)))
    (if (or (> (length channel-proc) 2) (not (procedure? proc)))
        (%io:fail who "use (io:on-midi type [channel] procedure), not:" (cons type channel-proc)))
    (set! %io:midi-handlers
          (%io:replace-or-append %io:midi-handlers key (append key (list proc)) %io:same-midi-key?))
    #t))

;; (io:remove-midi-handler type [channel]): the handler registered with exactly that type and channel; #f if none.
(define (io:remove-midi-handler type . channel)
  (let* ((key (%io:midi-key "io:remove-midi-handler" type (if (pair? channel) (car channel) #t)))
         (kept (remove-if (lambda (e) (%io:same-midi-key? e key)) %io:midi-handlers))
         (removed? (not (= (length kept) (length %io:midi-handlers)))))
    (set! %io:midi-handlers kept)
    removed?))

(define (io:remove-midi-handlers) (set! %io:midi-handlers '()) #t)

;; The system calls this for every MIDI message. A note on with velocity 0 is a note off by MIDI's own rule and is
;; routed as one (type 8). Handlers run in registration order; an error in one ends the routing of that message.
;; #t when a handler ran, #f when none matched.
(define (io:midi-in source type channel data1 . data2)
  (let* ((d2 (if (pair? data2) (car data2) 0))
         (t (if (and (eqv? type 9) (eqv? d2 0)) 8 type)))
    (let loop ((hs %io:midi-handlers) (ran #f))
      (if (null? hs)
          ran
          (let ((h (car hs)))
            (if (and (or (eq? (car h) #t) (eqv? (car h) t))
                     (or (eq? (cadr h) #t) (eqv? (cadr h) channel)))
                (begin
                  (if (eq? (car h) #t)
                      ((caddr h) source t channel data1 d2)
                      ((caddr h) source channel data1 d2))
                  (loop (cdr hs) #t))
                (loop (cdr hs) ran)))))))

;; ---- routing OSC input ------------------------------------------------------------------------------------------
;; Handlers as (pattern prefix proc): prefix is the pattern without its trailing "*", or #f for an exact address.
(define %io:osc-handlers '())

(define (%io:prefix pattern)
  (let ((n (string-length pattern)))
    (if (and (> n 0) (char=? (string-ref pattern (- n 1)) #\*)) (substring pattern 0 (- n 1)) #f)))

(define (%io:starts-with? s prefix)
  (let ((n (string-length prefix)))
    (and (<= n (string-length s))
         (let loop ((i 0))
           (or (= i n) (and (char=? (string-ref s i) (string-ref prefix i)) (loop (+ i 1))))))))

(define (%io:osc-pattern who pattern)
  (if (not (string? pattern)) (%io:fail who "the address must be a string:" pattern))
  pattern)

;; (io:on-osc address proc): proc gets the message's arguments. An address ending in "*" matches every address
;; that starts with what comes before the star ("/fader/*", or "*" for all), and proc then gets the address first.
;; Registering also asks for OSC input to come to this process.
(define (io:on-osc address proc)
  (let ((who "io:on-osc"))
    (%io:osc-pattern who address)
    (if (not (procedure? proc)) (%io:fail who "the handler must be a procedure:" proc))
    (set! %io:osc-handlers
          (%io:replace-or-append %io:osc-handlers address (list address (%io:prefix address) proc)
                                 (lambda (e key) (string=? (car e) key))))
    (if (defined? 'io:osc-register-events (interaction-environment)) (io:osc-register-events))
    #t))

(define (io:remove-osc-handler address)
  (%io:osc-pattern "io:remove-osc-handler" address)
  (let ((kept (remove-if (lambda (e) (string=? (car e) address)) %io:osc-handlers)))
    (let ((removed? (not (= (length kept) (length %io:osc-handlers)))))
      (set! %io:osc-handlers kept)
      removed?)))

(define (io:remove-osc-handlers) (set! %io:osc-handlers '()) #t)

;; The system calls this for every OSC message. Handlers run in registration order; an error in one ends the
;; routing of that message. #t when a handler ran, #f when none matched.
(define (io:osc-receive address . args)
  (let loop ((hs (if (string? address) %io:osc-handlers '())) (ran #f))
    (if (null? hs)
        ran
        (let* ((h (car hs)) (prefix (cadr h)))
          (cond ((if prefix (%io:starts-with? address prefix) (string=? address (car h)))
                 (if prefix (apply (caddr h) address args) (apply (caddr h) args))
                 (loop (cdr hs) #t))
                (else (loop (cdr hs) ran)))))))
