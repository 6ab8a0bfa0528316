;;; startup.scm -- evaluated once by the primary process, after the standard files and the library folder.
;;; Put what a performance should start with in your own library folder (~/.local/share/ombrel/library);
;;; this file only greets.
(print-notification "Ombrel is ready; the clock is at" (now))
