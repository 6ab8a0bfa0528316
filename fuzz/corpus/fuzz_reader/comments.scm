; a line comment
(list 1 ; trailing
 2)
#! a shebang-style line
42
