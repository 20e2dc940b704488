# Writes a manual page from its source with @VERSION@ filled in: cmake -DIN= -DOUT= -DVERSION= -P
configure_file(${IN} ${OUT} @ONLY)
