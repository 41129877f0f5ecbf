/* A tiny library for the run-time loading tests: one function and one data symbol. */

int tessel_sample_add(int a, int b) { return a + b; }

/* Counts calls, so a test can tell that two handles share one loaded copy. */
int tessel_sample_calls = 0;

int tessel_sample_count(void) { return ++tessel_sample_calls; }
