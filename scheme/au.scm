;;; au.scm -- playing the audio engine from Scheme: nodes and the graph, notes, MIDI, parameters, bypass, the GM
;;; synth. Times are sample frames on the clock (now) reads; durations are frames too ((seconds 1/2), metro 'dur).

;; ---- nodes and the graph ------------------------------------------------------------------------------------------
;; Built-in units, by their codes (see docs/units-instruments.md and docs/units-effects.md).
(define (au:make-gm . channels) (apply au:make-node "aumu" "dls " "ombr" channels))
(define (au:make-synth . channels) (apply au:make-node "aumu" "subs" "ombr" channels))
(define (au:make-sampler . channels) (apply au:make-node "aumu" "smpl" "ombr" channels))
(define (au:make-effect subtype . channels) (apply au:make-node "aufx" subtype "ombr" channels))
(define (au:make-mixer) (au:make-node "aumx" "smxr" "ombr"))

;; (au:chain a b c) feeds a into b, b into c and c into the output; returns a, the head of the chain.
(define (au:chain . nodes)
  (let loop ((ns nodes))
    (cond ((null? ns) #f)
          ((null? (cdr ns)) (au:connect-node (car ns) 0 *au:output-node* 0))
          (else (au:connect-node (car ns) 0 (cadr ns) 0) (loop (cdr ns)))))
  (if (null? nodes) #f (car nodes)))

(define (au:to-output node) (au:connect-node node 0 *au:output-node* 0))

;; ---- notes --------------------------------------------------------------------------------------------------------
;; (play-note time node pitch velocity duration [channel]): a MIDI note on and its note off `duration` later.
(define (play-note time node pitch velocity duration . channel)
  (let ((ch (if (null? channel) 0 (car channel))))
    (schedule time *note-on* node ch pitch velocity)
    (schedule (+ (round->integer time) (round->integer duration)) *note-off* node ch pitch)))

(define (note-on time node pitch velocity . channel)
  (schedule time *note-on* node (if (null? channel) 0 (car channel)) pitch velocity))

(define (note-off time node pitch . channel)
  (schedule time *note-off* node (if (null? channel) 0 (car channel)) pitch))

;; (play-pitch time node pitch velocity duration): a note at any pitch, fractions included (60.5 is a quarter tone
;; above middle C), stopped by its own id; returns the id.
(define *au:next-note-id* 0)
(define (play-pitch time node pitch velocity duration)
  (set! *au:next-note-id* (+ *au:next-note-id* 1))
  (let ((id *au:next-note-id*))
    (schedule time *note-start* node 0 pitch velocity id)
    (schedule (+ (round->integer time) (round->integer duration)) *note-stop* node 0 pitch id)
    id))

;; ---- MIDI channel messages -----------------------------------------------------------------------------------------
(define (au:midi-message time node type channel data1 data2) (schedule time *au:midi* node type channel data1 data2))
(define (program-change time node channel program) (au:midi-message time node 12 channel program 0))
(define (control-change time node channel controller value) (au:midi-message time node 11 channel controller value))
;; 0 to 16383, 8192 in the middle.
(define (pitch-bend time node channel value)
  (au:midi-message time node 14 channel (modulo value 128) (quotient value 128)))
;; (sysex time node bytes): bytes as a list or vector of integers, or a string.
(define (sysex time node bytes) (schedule time *au:sysex* node bytes))

;; ---- the GM synth ----------------------------------------------------------------------------------------------
(define *gm-drums* 9)  ; the channel of the drum kit
(define (gm-program time node channel program) (program-change time node channel program))
(define (gm-volume time node channel volume) (control-change time node channel 7 volume))
(define (gm-pan time node channel pan) (control-change time node channel 10 pan))
(define (gm-drum time node key velocity duration) (play-note time node key velocity duration *gm-drums*))

;; ---- parameters and bypass -----------------------------------------------------------------------------------------
;; Scopes: 0 global, 1 input, 2 output. (set-param time node id value [scope [element]]) lands on its frame.
(define (set-param time node id value . scope-element)
  (let ((scope (if (pair? scope-element) (car scope-element) 0))
        (element (if (and (pair? scope-element) (pair? (cdr scope-element))) (cadr scope-element) 0)))
    (schedule time *au:set-param* node id scope element value)))

(define (get-param node id . scope-element)
  (let ((scope (if (pair? scope-element) (car scope-element) 0))
        (element (if (and (pair? scope-element) (pair? (cdr scope-element))) (cadr scope-element) 0)))
    (au:get-param node id scope element)))

(define (set-bypass time node on) (schedule time *au:set-bypass* node on))

;; (param-list node [scope]): ((id name min max default unit) ...) for every parameter of the node.
(define (param-list node . scope)
  (let* ((s (if (null? scope) 0 (car scope)))
         (ids (au:get-param-ids node s)))
    (if (null? ids)
        '()
        (map (lambda (id) (cons id (au:get-param-info node s id))) (vector->list ids)))))
