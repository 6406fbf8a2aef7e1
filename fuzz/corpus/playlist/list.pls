[playlist]
NumberOfEntries=2
File1=http://a.example/stream
Title1=A
Length1=-1
file2=relative/b.mp3
Version=2
