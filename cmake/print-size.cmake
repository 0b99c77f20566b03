file(SIZE "${FILE}" size)
message("Zendrel.exe: ${size} bytes")
