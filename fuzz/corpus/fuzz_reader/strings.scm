"plain" "tab\there" "quote \" inside" "back\\slash" "new\nline" "\x41\x7a" "\xff"
