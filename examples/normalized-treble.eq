normalize
2000 1
8000 2
