#\a #\space #\newline #\tab #\return #\x41 #\nul #\del #\esc #\( #\) #\;
