# Under Wine each test of the connections runs beside serial devices on the Linux side:
# serial_peer.py makes pseudo-terminals, maps them to COM ports of the Wine prefix and runs the
# test program with their names in its environment.
find_program(OVANTA_PYTHON3 python3 REQUIRED)
set(OVANTA_SERIAL_PEER ${OVANTA_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/serial_peer.py)
