`(a ,b ,@(list c d) `(e ,,f))
`#(1 ,x ,@y)
