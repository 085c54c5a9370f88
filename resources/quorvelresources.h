// The pictures compiled into the programs live in this library: register them
// before the first widget that shows one is built.
#pragma once

void initQuorvelResources();
