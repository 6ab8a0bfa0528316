FooBar CASE-fold |odd| x->y <=? + - ... .5x -.x 1+ +inf
