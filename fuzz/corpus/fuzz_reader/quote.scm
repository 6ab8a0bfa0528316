'foo
'(1 2)
''x
