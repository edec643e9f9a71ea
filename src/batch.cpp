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

// How a batch ended: its gravest status, and the number of existing files kept.
struct BatchOutcome {
    int status;
    size_t kept;
};

static void count_outcome(BatchOutcome* outcome, int status)
{
    outcome->status = GraverStatus(outcome->status, status);
    outcome->kept += status == EXIT_KEPT;
}

// Converts one input of the batch, its PNG named `png`; `written_by` names
// the earlier input of the run that wrote that PNG, or is null. A file at
// `png` is replaced only with --force and never where the run wrote it: a
// different picture there is then said as "Not replacing". An unreadable
// folder is said. Returns its status.
static int convert_input(const BatchSetting* setting, const BatchInput* input, const char* png, const char* written_by,
                         std::vector<Message>* messages)
{
    const BatchOptions* options = setting->options;
    unsigned mode = options->force && written_by == nullptr ? OUTPUT_REPLACE : OUTPUT_KEEP;
    if (options->into != nullptr) {
        mode |= OUTPUT_MAKE_FOLDERS;
    }
    const std::string animated = options->animated ? AnimatedPngName(png) : std::string();
    Job job = {input->path.c_str(),
               {nullptr, png},
               options->animated ? animated.c_str() : nullptr,
               "\n",
               stdout,
               messages,
               setting->keys,
               options->size,
               mode,
               options->verbose && written_by == nullptr,
               1};
    if (input->unreadable_folder) {
        Say(&job, job.open_failures, "Could not open %s.\n", job.input);
        return EXIT_CANNOT_OPEN;
    }
    int status = RunJob(&job);
    if (status == EXIT_KEPT && written_by != nullptr) {
        Say(&job, stderr, "Not replacing %s: written from %s in this run.\n", png, written_by);
        status = EXIT_ICON_FAILED;
    }
    return status;
}

// "--batch FILE...", one file after another: each as by the one-argument
// form, every message a line of its own, whatever came before. game.3dsx and
// game.cia both derive game.png: the later is compared with what the earlier
// wrote.
static BatchOutcome run_batch_in_order(const BatchSetting* setting, const std::vector<BatchInput>& inputs)
{
    std::unordered_map<std::string, const char*> written;  // PNG name -> its input
    BatchOutcome outcome = {EXIT_DONE, 0};
    for (const BatchInput& input : inputs) {
        char derived_name[DERIVED_NAME_SIZE] = {0};
        int status = BatchPngName(setting->options, &input, derived_name, 0);
        if (status == EXIT_DONE) {
            auto earlier = written.find(derived_name);
            const char* written_by = earlier != written.end() ? earlier->second : nullptr;
            status = convert_input(setting, &input, derived_name, written_by, nullptr);
            if (status == EXIT_DONE && written_by == nullptr) {
                written.emplace(derived_name, input.path.c_str());
            }
        }
        count_outcome(&outcome, status);
    }
    return outcome;
}

// One file of a batch run by several workers.
struct BatchItem {
    const BatchInput* input;
    std::string png;     // its PNG's name; empty when the name does not fit
    long earlier;        // the last earlier item of the same PNG name, or -1
    const char* writer;  // once done: the input that wrote that PNG in this run, or null
    int done;
    int status;  // the item's; where its PNG's name is wrong, that name's
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

// Converts item `i`. An earlier item of the same PNG name is waited for: the
// collision rule goes by argument order, as in one run.
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
    int status = convert_input(batch->setting, item->input, item->png.c_str(), writer, &item->messages);
    if (writer == nullptr && status == EXIT_DONE) {
        writer = item->input->path.c_str();
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
// of the same name. A name that cannot be used is said at its turn.
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
        char derived_name[DERIVED_NAME_SIZE] = {0};
        item->status = BatchPngName(batch->setting->options, &inputs[i], derived_name, 1);
        if (item->status != EXIT_DONE) {
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
static BatchOutcome run_batch_on_workers(const BatchSetting* setting, const std::vector<BatchInput>& inputs,
                                         unsigned workers)
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
    BatchOutcome outcome = {EXIT_DONE, 0};
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
            BatchPngName(setting->options, item->input, derived_name, 0);  // says why
        }
        for (const Message& message : messages) {
            fputs(message.text.c_str(), message.stream);
        }
        count_outcome(&outcome, item->status);
        std::lock_guard<std::mutex> hold(batch.lock);
        batch.printed = i + 1;
        batch.changed.notify_all();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return outcome;
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

// The line that ends a batch which kept existing files, with how to
// replace them and, unless they were, how to have them named.
static void say_kept(size_t kept, int verbose)
{
    const char* naming = verbose ? "" : kept == 1 ? ", --verbose names it" : ", --verbose names them";
    if (kept == 1) {
        fprintf(stderr, "Kept 1 existing file that differs; --force replaces it%s.\n", naming);
    } else if (kept > 1) {
        fprintf(stderr, "Kept %zu existing files that differ; --force replaces them%s.\n", kept, naming);
    }
}

int RunBatch(int argc, char** argv, KeyRing* keys)
{
    BatchOptions options;
    std::vector<const char*> arguments;
    int status = ParseBatchOptions(argc, argv, &options, &arguments);
    unsigned workers = status == EXIT_DONE ? batch_workers() : 0;
    if (workers == 0) {
        return EXIT_USAGE;
    }
    status = PrepareBatchFolder(&options);
    if (status != EXIT_DONE) {
        return status;
    }
    std::vector<BatchInput> inputs;
    ExpandBatchInputs(arguments, &inputs);
    if (inputs.size() < workers) {
        workers = static_cast<unsigned>(inputs.size());
    }
    const BatchSetting setting = {&options, keys};
    BatchOutcome outcome =
        workers <= 1 ? run_batch_in_order(&setting, inputs) : run_batch_on_workers(&setting, inputs, workers);
    say_kept(outcome.kept, options.verbose);
    return outcome.status;
}
