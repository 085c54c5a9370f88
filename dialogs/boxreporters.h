// Reports of the libraries below the window shown as message boxes: the
// windowed program installs them at start (the console program prints instead).
#pragma once

void installBoxReporters();
