#x1F #xff #b101 #o777 #d99 #t #f #xFFFFFFFF
