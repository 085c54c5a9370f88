// Reports of the libraries and windows printed on standard output: quorvelc
// installs them at start where Quorvel installs its message boxes.
#pragma once

void installConsoleReporters();
