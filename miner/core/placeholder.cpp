namespace korvath_placeholder { int unused = 0; }
