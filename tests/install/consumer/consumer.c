/* The plain-name header compiles as C11 and its functions link from C. */
#include <NUVZub/NUVZubContainersC.h>

#include <stdio.h>

int main(void) {
    printf("version %s\n", NUVZubContainers_Version());
    return 0;
}
