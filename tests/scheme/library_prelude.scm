;;; library_prelude.scm -- what the audio engine defines before the library files load in the program proper.
(define *au:samplerate* 48000)
