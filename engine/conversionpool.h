// The program-wide thread pool of the image-sequence writer jobs.
#pragma once

class QThreadPool;

// Created on first use with one thread per logical processor; destroyed at
// program exit, after it has waited for the last job it runs.
QThreadPool* conversionThreadPool();
