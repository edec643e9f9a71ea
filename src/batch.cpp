#include "batch.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "batch_inputs.h"
#include "job.h"
#include "utils.h"

// What every file of a batch shares: its options and the key file.
struct BatchSetting {
    const BatchOptions* options;
    KeyRing* keys;
};

// Converts one input of the batch, its PNG named `png`; an unreadable
// folder is said. Returns its status.
static int convert_input(const BatchSetting* setting, const BatchInput* input, const char* png,
                         std::vector<Message>* messages)
{
    Job job = {input->path.c_str(), {nullptr, png}, "\n", stdout, messages, setting->keys, setting->options->size};
    if (input->unreadable_folder) {
        Say(&job, job.open_failures, "Could not open %s.\n", job.input);
        return EXIT_CANNOT_OPEN;
    }
    return RunJob(&job);
}

// "--batch FILE...", one file after another: each as by the one-argument
// form, every message a line of its own, whatever came before. A PNG that an
// earlier file of the run wrote is not replaced: game.3dsx and game.cia both
// derive game.png. Returns the highest status of all.
static int run_batch_in_order(const BatchSetting* setting, const std::vector<BatchInput>& inputs)
{
    std::unordered_map<std::string, const char*> written;  // PNG name -> its input
    int worst = EXIT_DONE;
    for (const BatchInput& input : inputs) {
        char derived_name[DERIVED_NAME_SIZE] = {0};
        int status = EXIT_USAGE;
        if (BatchPngName(setting->options, input.path.c_str(), derived_name, 0) == 0) {
            auto earlier = written.find(derived_name);
            if (earlier != written.end()) {
                fprintf(stderr, "Not replacing %s: written from %s in this run.\n", derived_name, earlier->second);
                status = EXIT_ICON_FAILED;
            } else {
                status = convert_input(setting, &input, derived_name, nullptr);
                if (status == EXIT_DONE) {
                    written.emplace(derived_name, input.path.c_str());
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
    const BatchInput* input;
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
    const BatchSetting* setting;
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
    int status = EXIT_ICON_FAILED;
    if (writer != nullptr) {
        Job job = {item->input->path.c_str(), {nullptr, nullptr}, "\n", stdout, &item->messages, nullptr, 0};
        Say(&job, stderr, "Not replacing %s: written from %s in this run.\n", item->png.c_str(), writer);
    } else {
        status = convert_input(batch->setting, item->input, item->png.c_str(), &item->messages);
        writer = status == EXIT_DONE ? item->input->path.c_str() : nullptr;
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
static void prepare_batch(const std::vector<BatchInput>& inputs, Batch* batch)
{
    std::unordered_map<std::string, long> last;  // PNG name -> its last item
    batch->items.resize(inputs.size());
    for (size_t i = 0; i < inputs.size(); i++) {
        BatchItem* item = &batch->items[i];
        item->input = &inputs[i];
        item->earlier = -1;
        item->writer = nullptr;
        item->done = 0;
        item->status = EXIT_USAGE;
        char derived_name[DERIVED_NAME_SIZE] = {0};
        if (BatchPngName(batch->setting->options, inputs[i].path.c_str(), derived_name, 1) != 0) {
            item->done = 1;
            continue;
        }
        item->png = derived_name;
        auto found = last.find(item->png);
        if (found != last.end()) {
            item->earlier = found->second;
        }
        last[item->png] = static_cast<long>(i);
    }
}

// "--batch FILE..." on `workers` threads: the same messages, statuses and
// PNGs as one file after another, the messages printed in argument order.
static int run_batch_on_workers(const BatchSetting* setting, const std::vector<BatchInput>& inputs, unsigned workers)
{
    Batch batch;
    batch.setting = setting;
    prepare_batch(inputs, &batch);
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
            BatchPngName(setting->options, item->input->path.c_str(), derived_name, 0);  // says why
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
    BatchOptions options;
    int first = 0;
    int status = ParseBatchOptions(argc, argv, &options, &first);
    unsigned workers = status == EXIT_DONE ? batch_workers() : 0;
    if (workers == 0) {
        return EXIT_USAGE;
    }
    status = PrepareBatchFolder(options.into);
    if (status != EXIT_DONE) {
        return status;
    }
    std::vector<BatchInput> inputs;
    ExpandBatchInputs(argc, argv, first, &inputs);
    if (inputs.size() < workers) {
        workers = static_cast<unsigned>(inputs.size());
    }
    const BatchSetting setting = {&options, keys};
    return workers <= 1 ? run_batch_in_order(&setting, inputs) : run_batch_on_workers(&setting, inputs, workers);
}
