(((a b)
(c d