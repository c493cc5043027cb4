/* A host of the installed flashwire library: binds a handle, parses an option
 * string (the library echoes each accepted option to the message callback),
 * prints the name of the result and releases the handle. Exits with 0 when
 * the string was accepted.
 *
 * Usage: flashwire-consumer ["option string"]
 *
 * Written in the common subset of C99 and C++, so it also shows the header
 * compiling in both languages. */
#include <flashwire/flash_api.h>

#include <stdio.h>
#include <string.h>

static int32_t OnMessage(FlashHandle *handle, int32_t level, const char *text) {
    (void)handle;
    printf("  [%d] %s\n", (int)level, text);
    return 0;
}

int main(int argc, char **argv) {
    const char *optionString = argc > 1 ? argv[1] : "/com=1,2 /mode=verify /file=image.s19";
    FlashHandle handle;
    FlashOptions options;
    int32_t count = 0;
    char name[FLASH_ERROR_TEXT_SIZE];
    uint32_t rc;

    memset(&handle, 0, sizeof handle);
    handle.size = (uint32_t)sizeof handle;
    rc = FlashInit(&handle, &options);
    if (rc != SUCCESS) {
        FlashGetErrorString(rc, name);
        fprintf(stderr, "FlashInit: %s\n", name);
        return 1;
    }
    handle.message = OnMessage;

    rc = FlashParseOptionString(&handle, optionString, &count, &options);
    FlashGetErrorString(rc, name);
    printf("%s: %d options accepted, mode %u\n", name, (int)count, (unsigned)options.mode);

    FlashFinish(&handle);
    return rc == SUCCESS ? 0 : 1;
}
