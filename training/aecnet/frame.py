"""What the host, the filter and the network agree on for one 10 ms frame.

The host hands over BUFFER_ROWS rows of BINS floats; the net reads them as
two overlapping windows of WINDOW_ROWS rows (STREAM_FRAMES says which
stream each row holds), A from float 0 and B from
WINDOW_B_OFFSET, carries two recurrent states of STATE_SIZE values from
frame to frame and writes BINS mask values. gen_tables.py writes these
values into model/frame_contract.h for the C++ side."""

BINS = 513
WINDOW_ROWS = 12
WINDOW_B_ROW = 6
# Feature rows per stream, oldest frame first: E (the linear canceller's
# output), D (the mic), X (the aligned reference), Y = D - E (the canceller's
# echo estimate). Window A is E and D, window B is D, X and Y.
STREAM_FRAMES = (6, 6, 3, 3)
BUFFER_ROWS = sum(STREAM_FRAMES)
assert BUFFER_ROWS == WINDOW_B_ROW + WINDOW_ROWS and STREAM_FRAMES[0] == WINDOW_B_ROW
WINDOW_B_OFFSET = WINDOW_B_ROW * BINS
FEATURE_FLOATS = BUFFER_ROWS * BINS
STATE_SIZE = 128

WINDOW_A_BLOB = "310"
WINDOW_B_BLOB = "311"
STATE_BLOBS = ("469", "493")
MASK_BLOB = "mask"

# A mask bin that is not finite passes unchanged: leaving a frame's echo is
# better than cutting the near-end talker.
NON_FINITE_GAIN = 1.0
