/* References for the start-up cost of updater.exe under Wine: a GUI program
   that does nothing, built by bench/wine_start as the updater is (MinGW-w64,
   -mwindows, -Os, static, stripped). Each define adds one DLL to what it
   imports, through a call on a branch never taken, so that the loader maps
   and initialises that DLL but no code of it runs:

     (none)                          KERNEL32, msvcrt
     -DWITH_ADVAPI32                 + ADVAPI32
     -DWITH_ADVAPI32 -DWITH_USER32   + USER32 (the DLLs updater.exe imports
                                     when it links them all directly) */
#include <windows.h>

int main(int argc, char** argv) {
  (void)argv;
#ifdef WITH_ADVAPI32
  if (argc > 99) RegCloseKey(NULL);
#endif
#ifdef WITH_USER32
  if (argc > 99) MessageBeep(0);
#endif
  return 0;
}
