(a . b c)
( . a)
(a .)
#\xZZ
#z
"unterminated
