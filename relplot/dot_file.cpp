// The DOT file as a whole: the frame, the tree, then the edges.  For a
// large graph that goes to a regular file the edges are written by a
// second thread, straight to their place behind the tree: it first adds up
// the length of the tree, to learn where the tree ends, while the main
// thread writes the tree itself.
#include "relplot.h"

#include "dot_output.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

namespace {

// Fewer edges than this are written in less time than a thread takes.
constexpr std::size_t split_edges = 1 << 16;

// The edge lines as the second thread writes them.
class EdgeWriter {
public:
    // Edges for the file open as `fd`, whose tree (from `start`) begins at
    // byte `tree_start`.
    EdgeWriter(int fd, GraphNode_ *start, off_t tree_start)
        : fd_(fd), start_(start), tree_start_(tree_start), thread_([this] { run(); })
    {
    }
    ~EdgeWriter()
    {
        if (thread_.joinable())
            thread_.join();
    }
    EdgeWriter(const EdgeWriter &) = delete;
    EdgeWriter &operator=(const EdgeWriter &) = delete;

    // Where the tree starts: the node and the byte.
    GraphNode_ *start() const { return start_; }
    off_t tree_start() const { return tree_start_; }
    // Waits until every edge line is written.
    void finish() { thread_.join(); }
    // What the thread learnt; read after finish().
    off_t tree_end() const { return tree_end_; }
    off_t edges_end() const { return edges_end_; }
    const GraphEdge_ *conflict() const { return conflict_; }
    bool failed() const { return failed_; }

private:
    void run()
    {
        tree_end_ = tree_start_ + static_cast<off_t>(GraphNode_size(start_, 1));
        const auto edges = std::make_unique<DotOutput>(fd_, tree_end_);
        conflict_ = put_edges(*edges);
        edges->flush();
        edges_end_ = tree_end_ + static_cast<off_t>(edges->total());
        failed_ = edges->failed();
    }

    int fd_;
    GraphNode_ *start_;
    off_t tree_start_;
    off_t tree_end_ = 0;
    off_t edges_end_ = 0;
    const GraphEdge_ *conflict_ = nullptr;
    bool failed_ = false;
    std::thread thread_; // last: it starts once the fields above are set
};

// True when `fp` writes to a regular file at the places it is told: not a
// pipe or device, and not a file open for appending, where Linux puts
// whatever pwrite writes at the end.
bool is_placeable_file(FILE *fp)
{
    struct stat info {};
    const int fd = fileno(fp);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_APPEND) == 0;
}

// Where the next byte of `fp` goes, with everything before it handed to the
// file; -1 when that cannot be known.
off_t flushed_position(FILE *fp)
{
    DotOutput::of(fp).flush();
    return std::fflush(fp) == 0 ? ftello(fp) : -1;
}

// The thread that writes the edges behind the tree about to be written to
// `fp`, or null when the main thread is to write everything in one go: a
// small graph, a single processor, a stream that is no placeable file, or
// no thread to be had.
std::unique_ptr<EdgeWriter> start_edge_writer(FILE *fp)
{
    if (graph_edge_count() < split_edges || std::thread::hardware_concurrency() < 2 || !is_placeable_file(fp))
        return nullptr;
    const off_t tree_start = flushed_position(fp);
    if (tree_start < 0)
        return nullptr;
    try {
        // Found once: a search of the registry counts in its figures.
        return std::make_unique<EdgeWriter>(fileno(fp), start_node(), tree_start);
    } catch (const std::system_error &) {
        return nullptr;
    }
}

} // namespace

bool print_dot_file(FILE *fp)
{
    print_file_header(fp);
    const std::unique_ptr<EdgeWriter> edges = start_edge_writer(fp);
    if (edges == nullptr) {
        print_components(fp);
        print_all_edges(fp);
        print_file_footer(fp);
        return true;
    }
    print_GraphNode(edges->start(), 1, fp);
    const off_t tree_end = flushed_position(fp);
    edges->finish();
    // As when written in one go, a conflict ends the run whatever else
    // went wrong before it.
    if (edges->conflict() != nullptr)
        report_layer_conflict(fp);
    if (std::ferror(fp) != 0)
        return true; // the stream reports its own failure
    if (tree_end != edges->tree_end()) {
        // The edges would overlap the tree or leave a gap before them.
        std::fprintf(stderr, "relplot: the tree took %lld bytes, not the %lld added up for it\n",
                     static_cast<long long>(tree_end - edges->tree_start()),
                     static_cast<long long>(edges->tree_end() - edges->tree_start()));
        abnormal_end(fp);
    }
    if (edges->failed() || fseeko(fp, edges->edges_end(), SEEK_SET) != 0)
        return false;
    print_file_footer(fp);
    return true;
}
