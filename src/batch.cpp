#include "batch.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "job.h"
#include "utils.h"

// "--batch FILE...", one file after another: each as by the one-argument
// form, every message a line of its own, whatever came before. A PNG that an
// earlier file of the run wrote is not replaced: game.3dsx and game.cia both
// derive game.png. Returns the highest status of all.
static int run_batch_in_order(int argc, char** argv, KeyRing* keys)
{
    std::unordered_map<std::string, const char*> written;  // PNG name -> its input
    int worst = EXIT_DONE;
    for (int i = 2; i < argc; i++) {
        char derived_name[DERIVED_NAME_SIZE] = {0};
        int status = EXIT_USAGE;
        if (append_filextention(derived_name, DERIVED_NAME_SIZE, argv[i], ".png") == 0) {
            auto earlier = written.find(derived_name);
            if (earlier != written.end()) {
                fprintf(stderr, "Not replacing %s: written from %s in this run.\n", derived_name, earlier->second);
                status = EXIT_ICON_FAILED;
            } else {
                Job job = {argv[i], {nullptr, derived_name}, "\n", stdout, nullptr, keys};
                status = RunJob(&job);
                if (status == EXIT_DONE) {
                    written.emplace(derived_name, argv[i]);
                }
            }
        }
        if (status > worst) {
            worst = status;
        }
    }
    return worst;
}

// One file of a batch run by several workers.
struct BatchItem {
    const char* input;
    std::string png;     // its PNG's name; empty when the name does not fit
    long earlier;        // the last earlier item of the same PNG name, or -1
    const char* writer;  // once done: the input that wrote that PNG in this run, or null
    int done;
    int status;
    std::vector<Message> messages;
};

// A batch shared by its workers and its printer, under `lock`. Workers take
// the items in argument order, never more than `window` ahead of the
// printing, so memory stays bounded by the number of workers.
struct Batch {
    std::vector<BatchItem> items;
    KeyRing* keys;
    std::mutex lock;
    std::condition_variable changed;
    size_t next;
    size_t printed;
    size_t window;
};

// Converts item `i`, or says why not. An earlier item of the same PNG name
// is waited for: the collision rule goes by argument order, as in one run.
static void convert_batch_item(Batch* batch, size_t i)
{
    BatchItem* item = &batch->items[i];
    const char* writer = nullptr;
    if (item->earlier >= 0) {
        std::unique_lock<std::mutex> hold(batch->lock);
        const BatchItem* earlier = &batch->items[static_cast<size_t>(item->earlier)];
        batch->changed.wait(hold, [earlier] { return earlier->done != 0; });
        writer = earlier->writer;
    }
    Job job = {item->input, {nullptr, item->png.c_str()}, "\n", stdout, &item->messages, batch->keys};
    int status = EXIT_ICON_FAILED;
    if (writer != nullptr) {
        Say(&job, stderr, "Not replacing %s: written from %s in this run.\n", item->png.c_str(), writer);
    } else {
        status = RunJob(&job);
        writer = status == EXIT_DONE ? item->input : nullptr;
    }
    std::lock_guard<std::mutex> hold(batch->lock);
    item->status = status;
    item->writer = writer;
    item->done = 1;
    batch->changed.notify_all();
}

static void batch_worker(Batch* batch)
{
    for (;;) {
        size_t i = 0;
        {
            std::unique_lock<std::mutex> hold(batch->lock);
            batch->changed.wait(hold, [batch] {
                return batch->next == batch->items.size() || batch->next < batch->printed + batch->window;
            });
            if (batch->next == batch->items.size()) {
                return;
            }
            i = batch->next++;
        }
        if (!batch->items[i].done) {
            convert_batch_item(batch, i);
        }
    }
}

// The items of the batch's files: each PNG's name and the last earlier item
// of the same name. A name that does not fit is said at its turn.
static void prepare_batch(int argc, char** argv, Batch* batch)
{
    std::unordered_map<std::string, long> last;  // PNG name -> its last item
    batch->items.resize(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; i++) {
        BatchItem* item = &batch->items[static_cast<size_t>(i - 2)];
        item->input = argv[i];
        item->earlier = -1;
        item->writer = nullptr;
        item->done = 0;
        item->status = EXIT_USAGE;
        char derived_name[DERIVED_NAME_SIZE] = {0};
        if (!derived_name_fits(DERIVED_NAME_SIZE, argv[i], ".png") ||
            append_filextention(derived_name, DERIVED_NAME_SIZE, argv[i], ".png") != 0) {
            item->done = 1;
            continue;
        }
        item->png = derived_name;
        auto found = last.find(item->png);
        if (found != last.end()) {
            item->earlier = found->second;
        }
        last[item->png] = i - 2;
    }
}

// "--batch FILE..." on `workers` threads: the same messages, statuses and
// PNGs as one file after another, the messages printed in argument order.
static int run_batch_on_workers(int argc, char** argv, unsigned workers, KeyRing* keys)
{
    Batch batch;
    batch.keys = keys;
    prepare_batch(argc, argv, &batch);
    batch.next = 0;
    batch.printed = 0;
    batch.window = 4 * size_t(workers);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; w++) {
        threads.emplace_back(batch_worker, &batch);
    }
    int worst = EXIT_DONE;
    for (size_t i = 0; i < batch.items.size(); i++) {
        BatchItem* item = &batch.items[i];
        std::vector<Message> messages;
        {
            std::unique_lock<std::mutex> hold(batch.lock);
            batch.changed.wait(hold, [item] { return item->done != 0; });
            messages.swap(item->messages);
        }
        if (item->png.empty()) {
            char derived_name[DERIVED_NAME_SIZE];
            append_filextention(derived_name, DERIVED_NAME_SIZE, item->input, ".png");  // says why
        }
        for (const Message& message : messages) {
            fputs(message.text.c_str(), message.stream);
        }
        worst = item->status > worst ? item->status : worst;
        std::lock_guard<std::mutex> hold(batch.lock);
        batch.printed = i + 1;
        batch.changed.notify_all();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return worst;
}

// The number of batch workers: GALLIVOX_JOBS when set (1 to 256), else one
// per online core; 0 after saying why the setting is wrong.
const unsigned MAX_WORKERS = 256;
static unsigned batch_workers()
{
    const char* setting = getenv("GALLIVOX_JOBS");
    if (setting == nullptr) {
        unsigned cores = std::thread::hardware_concurrency();
        return cores == 0 ? 1 : cores < MAX_WORKERS ? cores : MAX_WORKERS;
    }
    char* end = nullptr;
    unsigned long workers = strtoul(setting, &end, 10);
    if (setting[0] < '1' || setting[0] > '9' || *end != 0 || workers > MAX_WORKERS) {
        fprintf(stderr, "Invalid GALLIVOX_JOBS %s: give a number of workers from 1 to %u.\n", setting, MAX_WORKERS);
        return 0;
    }
    return static_cast<unsigned>(workers);
}

int RunBatch(int argc, char** argv, KeyRing* keys)
{
    unsigned workers = batch_workers();
    if (workers == 0) {
        return EXIT_USAGE;
    }
    if (static_cast<unsigned>(argc - 2) < workers) {
        workers = static_cast<unsigned>(argc - 2);
    }
    return workers <= 1 ? run_batch_in_order(argc, argv, keys) : run_batch_on_workers(argc, argv, workers, keys);
}
