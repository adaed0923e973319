#pragma once

// Isoelectric point of a protein sequence, found by bisection on the net
// charge of its ionisable side chains and its two ends.

// `length` -1 reads up to the terminating zero; otherwise at most that many
// bytes (and never past a zero byte), so a mapped view can be passed with its
// stored length. Returns 0 (and reports message 345 for `jobNumber`) when the
// bisection does not converge.
double calcIsoelectricPoint(const char* sequence, int jobNumber, int length);
