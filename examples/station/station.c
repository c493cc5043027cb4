/* A flashing station: flashes (or verifies) one image into N phones at once,
 * each on its own pair of serial ports, with one handle and one FlashLoad per
 * phone on a thread of its own. Prints one line per phone as it finishes and
 * a summary; exits 0 when every job succeeded.
 *
 * Usage: flashwire-station [-c DIR] [-b RATE] [-m flash|verify] [-v]
 *                          PLATFORM IMAGE DEVICE_A DEVICE_B [DEVICE_A DEVICE_B]...
 *   -c DIR   the data directory (platform.def, flash.types, loaders); default
 *            the one installed with the library
 *   -b RATE  the ports' highest rate (default 921600)
 *   -m MODE  flash (default) or verify
 *   -v       every message of every job, prefixed with its number
 *
 * The library names ports COM1..COM12, and FlashMapPort chooses the device
 * of each for the whole process. Six pairs are mapped at a time; a seventh
 * job reuses the numbers of the first once that job has opened its ports
 * (it has said "Power on mobile !" or ended): an open port keeps its device. */
#define _POSIX_C_SOURCE 200809L
#include <flashwire/flash_api.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_JOBS 64
#define PAIRS_AT_ONCE 6

typedef struct Job {
    FlashHandle handle; /* first: the callbacks get its address */
    int number;         /* 1-based */
    const char *deviceA;
    const char *deviceB;
    char optionString[1024];
    FlashOptions options;
    pthread_t thread;
    uint32_t result;
    double seconds;
    char lastError[260]; /* the job's last level-1 or level-2 line */
    int portsOpen;       /* the job no longer needs its port numbers mapped */
} Job;

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_verbose;

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void PortsNoLongerNeeded(Job *job) {
    pthread_mutex_lock(&g_lock);
    job->portsOpen = 1;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_lock);
}

static int32_t OnMessage(FlashHandle *handle, int32_t level, const char *text) {
    Job *job = (Job *)handle;
    if (g_verbose) {
        pthread_mutex_lock(&g_lock);
        printf("job %d: [%d] %s\n", job->number, (int)level, text);
        fflush(stdout);
        pthread_mutex_unlock(&g_lock);
    }
    if (level >= 1 && strncmp(text, "Sorry, ", 7) != 0 && strncmp(text, "Error code: ", 12) != 0) {
        strncpy(job->lastError, text, sizeof job->lastError - 1);
        job->lastError[sizeof job->lastError - 1] = '\0';
    }
    if (strcmp(text, "Power on mobile !") == 0) PortsNoLongerNeeded(job);
    return 0;
}

static void *RunJob(void *argument) {
    Job *job = (Job *)argument;
    const double start = Now();
    job->result = FlashLoad(&job->handle, &job->options);
    job->seconds = Now() - start;
    PortsNoLongerNeeded(job);
    return NULL;
}

static void Usage(void) {
    fprintf(stderr,
            "usage: flashwire-station [-c DIR] [-b RATE] [-m flash|verify] [-v] PLATFORM IMAGE "
            "DEVICE_A DEVICE_B [DEVICE_A DEVICE_B]...\n");
}

int main(int argc, char **argv) {
    const char *dataDir = STATION_DATA_DIR;
    const char *rate = "921600";
    const char *mode = "flash";
    static Job jobs[MAX_JOBS];
    int count, i, opt, failed = 0;
    double start;

    while ((opt = getopt(argc, argv, "c:b:m:v")) != -1) {
        switch (opt) {
            case 'c': dataDir = optarg; break;
            case 'b': rate = optarg; break;
            case 'm': mode = optarg; break;
            case 'v': g_verbose = 1; break;
            default: Usage(); return 2;
        }
    }
    if (argc - optind < 4 || (argc - optind - 2) % 2 != 0 || (argc - optind - 2) / 2 > MAX_JOBS ||
        (strcmp(mode, "flash") != 0 && strcmp(mode, "verify") != 0) || strchr(argv[optind + 1], '"') != NULL) {
        Usage();
        return 2;
    }
    count = (argc - optind - 2) / 2;

    for (i = 0; i < count; ++i) {
        Job *job = &jobs[i];
        const unsigned first = 2u * (unsigned)(i % PAIRS_AT_ONCE);
        int32_t accepted = 0;
        uint32_t rc;
        job->number = i + 1;
        job->deviceA = argv[optind + 2 + 2 * i];
        job->deviceB = argv[optind + 3 + 2 * i];
        snprintf(job->optionString, sizeof job->optionString,
                 "/platform=%s /com=%u,%u /maxspeed=%s,%s /mode=%s /file=\"%s\" /diff=0", argv[optind], first + 1,
                 first + 2, rate, rate, mode, argv[optind + 1]);
        job->handle.size = (uint32_t)sizeof job->handle;
        rc = FlashInit(&job->handle, &job->options);
        if (rc == SUCCESS) {
            job->handle.message = OnMessage;
            rc = FlashSetDataDirectory(&job->handle, dataDir);
        }
        if (rc == SUCCESS) rc = FlashParseOptionString(&job->handle, job->optionString, &accepted, &job->options);
        if (rc != SUCCESS) {
            char name[FLASH_ERROR_TEXT_SIZE];
            FlashGetErrorString(rc, name);
            fprintf(stderr, "job %d: %s for \"%s\" (data directory %s)\n", job->number, name, job->optionString,
                    dataDir);
            return 2;
        }
    }

    start = Now();
    for (i = 0; i < count; ++i) {
        Job *job = &jobs[i];
        const unsigned first = 2u * (unsigned)(i % PAIRS_AT_ONCE);
        /* The numbers are free once the job that used them last has its
         * ports open. */
        if (i >= PAIRS_AT_ONCE) {
            pthread_mutex_lock(&g_lock);
            while (!jobs[i - PAIRS_AT_ONCE].portsOpen) pthread_cond_wait(&g_changed, &g_lock);
            pthread_mutex_unlock(&g_lock);
        }
        if (FlashMapPort(first, job->deviceA) != SUCCESS || FlashMapPort(first + 1, job->deviceB) != SUCCESS) {
            fprintf(stderr, "job %d: the library refused %s or %s\n", job->number, job->deviceA, job->deviceB);
            return 2;
        }
        if (pthread_create(&job->thread, NULL, RunJob, job) != 0) {
            fprintf(stderr, "job %d: no thread\n", job->number);
            return 2;
        }
    }
    for (i = 0; i < count; ++i) {
        Job *job = &jobs[i];
        char name[FLASH_ERROR_TEXT_SIZE];
        pthread_join(job->thread, NULL);
        FlashGetErrorString(job->result, name);
        if (job->result == SUCCESS) {
            printf("job %d (%s, %s): %s in %.1f s\n", job->number, job->deviceA, job->deviceB, name, job->seconds);
        } else {
            ++failed;
            printf("job %d (%s, %s): %s in %.1f s: %s\n", job->number, job->deviceA, job->deviceB, name,
                   job->seconds, job->lastError);
        }
        FlashFinish(&job->handle);
    }
    printf("%d job(s), %d succeeded, %d failed, %.1f s in all\n", count, count - failed, failed, Now() - start);
    return failed == 0 ? 0 : 1;
}
