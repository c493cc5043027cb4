/* A host written in C99 against the public header and the shared library:
 * binds a handle, installs a message callback, parses an option string and
 * checks the echoed lines, the error names, the option maker, the data
 * directory and FlashLoad's refusal of an invalid record. Exits with
 * a non-zero status on any mismatch. */
#include <flashwire/flash_api.h>

#include <stdio.h>
#include <string.h>

#define MAX_LINES 32

static char lines[MAX_LINES][300];
static int levels[MAX_LINES];
static int lineCount = 0;
static int failures = 0;

static int32_t OnMessage(FlashHandle *handle, int32_t level, const char *text) {
    (void)handle;
    printf("[%d] %s\n", (int)level, text);
    if (lineCount < MAX_LINES) {
        strncpy(lines[lineCount], text, sizeof(lines[0]) - 1);
        lines[lineCount][sizeof(lines[0]) - 1] = '\0';
        levels[lineCount] = (int)level;
    }
    ++lineCount;
    return 0;
}

static void Check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    static const char *const expected[] = {"/com=1,2 ", "/mode=read", "/savefile=my dump.s19",
                                           "/read=0x00001000 - 0x00001fff (4096 - 8191)"};
    FlashHandle handle;
    FlashOptions options;
    int32_t count = -1;
    char text[FLASH_ERROR_TEXT_SIZE];
    char made[512];
    int i;

    memset(&handle, 0, sizeof(handle));
    handle.size = (uint32_t)sizeof(handle);
    Check(FlashInit(&handle, &options) == SUCCESS, "FlashInit");
    Check(handle.context != NULL, "context bound");
    handle.message = OnMessage;

    Check(FlashParseOptionString(&handle, "/com=1,2 -MODE:read /savefile=\"my dump.s19\" /read=0x1000-8191",
                                 &count, &options) == SUCCESS,
          "parse succeeds");
    Check(count == 4, "four options accepted");
    Check(lineCount == 4, "four echo lines");
    for (i = 0; i < 4 && i < lineCount; ++i) {
        Check(strcmp(lines[i], expected[i]) == 0, expected[i]);
        Check(levels[i] == 0, "echo at level 0");
    }
    Check(options.mode == 2 && options.comPort[0] == 0 && options.comPort[1] == 1, "record filled");

    lineCount = 0;
    Check(FlashParseOptionString(&handle, "/com=13", &count, &options) == ERR_BAD_CMDLINE, "bad port rejected");
    Check(count == 0, "count 0 on error");
    Check(lineCount == 1 && levels[0] == 2 && strcmp(lines[0], "13 is not a valid COM port. Valid are 1-12") == 0,
          "error line");

    Check(FlashGetErrorString(ERR_VERIFY_DIFFERENCE, text) == 0 && strcmp(text, "ERR_VERIFY_DIFFERENCE") == 0,
          "error name");

    FlashParseOptionString(&handle, "/com=1 /mode=verify /file=a.s19", &count, &options);
    Check(FlashMakeOptionString(&options, made, (int32_t)sizeof(made)) == SUCCESS, "make");
    Check(strcmp(made, "/platform=\"\" /mode=VERIFY /file=\"a.s19\" /com=1 /maxspeed=115200,115200 ") == 0,
          "made string");

    Check(FlashSetDataDirectory(&handle, "/tmp") == SUCCESS, "data directory set");
    Check(FlashSetDataDirectory(&handle, "") == ERR_BAD_PARAMS, "empty data directory refused");
    Check(FlashSetDataDirectory(&handle, NULL) == ERR_BAD_PARAMS, "no data directory refused");
    Check(FlashSetTraceFile(&handle, "") == ERR_BAD_PARAMS, "empty trace file refused");
    Check(FlashSetTraceFile(&handle, NULL) == SUCCESS, "no trace file: tracing off");

    lineCount = 0;
    options.mode = 3;
    Check(FlashLoad(&handle, &options) == ERR_BAD_PARAMS, "FlashLoad refuses mode 3");
    Check(FlashLoad(NULL, &options) == ERR_BAD_PARAMS, "FlashLoad refuses no handle");
    Check(lineCount == 0, "no message from a refused FlashLoad");

    Check(FlashFinish(&handle) == SUCCESS && handle.context == NULL, "FlashFinish");
    Check(FlashSetDataDirectory(&handle, "/tmp") == ERR_BAD_PARAMS, "data directory of an unbound handle");
    Check(FlashFinish(&handle) == SUCCESS, "second FlashFinish");

    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("c_host: all checks passed\n");
    return 0;
}
