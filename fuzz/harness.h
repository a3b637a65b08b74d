// What the fuzz target offers its replay driver.
#pragma once

// The exit status of each of the disc's words for the last input run.
const int* fuzz_statuses();
