/* The reference for start-up cost: a program that does nothing. Built by
   bench/run with the system C compiler and linked against the shared C
   library, as the updater is (it links only libc dynamically). */
int main(void) { return 0; }
