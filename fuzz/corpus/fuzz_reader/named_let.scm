(let loop ((i 0))
  (if (< i 10)
      (begin (display i) (newline) (loop (+ i 1)))))
