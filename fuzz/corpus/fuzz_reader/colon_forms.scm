abc::def
(obj::method 1 2)
A::B::C
