// The image writer against the set's partitions, which the sandbox provides
// as real loop block devices. Every case checks the partition byte for byte:
// the image where it belongs, and the bytes around it as they were.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ground.h"
#include "partition.h"
#include "partition/test_files.h"

namespace {

using ota_test::Bytes;

constexpr long kMiB = 1048576;
// Bytes checked on each side of the written range.
constexpr long kMargin = kMiB;

uint64_t deviceSize(const std::string& device) {
    uint64_t size = 0;
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, BLKGETSIZE64, &size) != 0) {
        ADD_FAILURE() << "size of " << device;
    }
    if (fd >= 0) {
        close(fd);
    }
    return size;
}

class FlashWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st {};
        ASSERT_EQ(stat(ota_paths::kUsrfsDevice, &st), 0) << "runs only inside the sandbox runner";
        ASSERT_TRUE(S_ISBLK(st.st_mode));
        dir_ = ota_test::makeTempDir("writer");
        imagePath_ = dir_ + "usrfs_split_partab";
    }
    void TearDown() override { ota_test::removeTree(dir_); }

    // Fills [begin, end) of the device with known filler.
    void fillDevice(const std::string& device, long begin, long end, uint32_t seed) {
        filler_ = ota_test::patternBytes(static_cast<size_t>(end - begin), seed);
        fillerBegin_ = begin;
        ota_test::writeRange(device, begin, filler_);
    }

    // The filler is still there in [begin, end).
    void expectFiller(const std::string& device, long begin, long end) {
        Bytes now = ota_test::readRange(device, begin, static_cast<size_t>(end - begin));
        Bytes before(filler_.begin() + (begin - fillerBegin_),
                     filler_.begin() + (end - fillerBegin_));
        EXPECT_TRUE(now == before) << device << " changed in [" << begin << ", " << end << ")";
    }

    int update(const std::string& name, long offset) {
        ::testing::internal::CaptureStdout();
        int result = updateModuleBlock(imagePath_, name, offset);
        output_ = ::testing::internal::GetCapturedStdout();
        return result;
    }

    size_t count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = output_.find(text); at != std::string::npos;
             at = output_.find(text, at + 1)) {
            ++n;
        }
        return n;
    }

    std::string dir_;
    std::string imagePath_;
    std::string output_;
    Bytes filler_;
    long fillerBegin_ = 0;
};

struct WriteCase {
    const char* name;
    long imageSize;
    long offset;
};

class FlashWriterSizeTest : public FlashWriterTest,
                            public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FlashWriterSizeTest, ImageLandsAtOffsetAndIsRemoved) {
    const WriteCase& c = GetParam();
    const std::string device = ota_paths::kUsrfsDevice;
    long end = c.offset + c.imageSize;
    fillDevice(device, 0, end + kMargin, 1);
    Bytes image = ota_test::patternBytes(static_cast<size_t>(c.imageSize), 2);
    ASSERT_TRUE(ota_test::writeFile(imagePath_, image));

    ASSERT_EQ(update("usrfs", c.offset), 0) << output_;

    EXPECT_TRUE(ota_test::readRange(device, c.offset, image.size()) == image);
    expectFiller(device, 0, c.offset);
    expectFiller(device, end, end + kMargin);
    EXPECT_FALSE(ota_test::pathExists(imagePath_)) << "the image is removed after a good write";
    EXPECT_NE(output_.find("(): image: " + device + " to be programmed to " + imagePath_ + ".\n"),
              std::string::npos)
        << output_;
    EXPECT_EQ(count("Try again"), 0u) << output_;
}

INSTANTIATE_TEST_SUITE_P(
    Images, FlashWriterSizeTest,
    ::testing::Values(WriteCase{"OneWholeChunk", kFlashChunkSize, 0},
                      WriteCase{"OneByteIntoASecondChunk", kFlashChunkSize + 1, 0},
                      WriteCase{"OneByte", 1, 0},
                      WriteCase{"ThreeChunksAndABit", 3 * kFlashChunkSize + 4097, 0},
                      WriteCase{"AtAnUnalignedOffset", kFlashChunkSize + 1, 10 * kMiB + 513},
                      WriteCase{"SmallAtAnOffset", 1000, 7}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

// The last byte of the partition can be written, one byte past it cannot,
// and a refused image leaves the partition as it was.
TEST_F(FlashWriterTest, ImageMustFitThePartition) {
    const std::string device = ota_paths::kOptfsDevice;
    long size = static_cast<long>(deviceSize(device));
    ASSERT_GT(size, 2 * kFlashChunkSize);
    long offset = size - kFlashChunkSize - 1;
    fillDevice(device, offset - kMargin, size, 3);

    ASSERT_TRUE(ota_test::writeFile(imagePath_, ota_test::patternBytes(kFlashChunkSize + 2, 4)));
    EXPECT_EQ(update("optfs", offset), 1) << output_;
    EXPECT_EQ(count("(): [OTA_Flash_Writer]image does not fit !"), 2u) << output_;
    EXPECT_TRUE(ota_test::pathExists(imagePath_));
    expectFiller(device, offset - kMargin, size);

    Bytes image = ota_test::patternBytes(kFlashChunkSize + 1, 5);
    ASSERT_TRUE(ota_test::writeFile(imagePath_, image));
    EXPECT_EQ(update("optfs", offset), 0) << output_;
    EXPECT_TRUE(ota_test::readRange(device, offset, image.size()) == image);
    expectFiller(device, offset - kMargin, offset);
}

struct RefusalCase {
    const char* name;
    long imageSize;  // -1: no image file at all
    const char* partition;
    long offset;
    const char* message;  // expected once per attempt, or once if nothing is attempted
    size_t times;
};

class FlashWriterRefusalTest : public FlashWriterTest,
                               public ::testing::WithParamInterface<RefusalCase> {};

// Nothing is written and the image stays for a later run to find.
TEST_P(FlashWriterRefusalTest, PartitionAndImageStayAsTheyWere) {
    const RefusalCase& c = GetParam();
    const std::string device = ota_paths::kSerialsdataDevice;
    fillDevice(device, 0, 4 * kMiB, 6);
    if (c.imageSize > 0) {
        // Sparse: only the size matters to these refusals.
        ASSERT_TRUE(ota_test::writeFile(imagePath_, ota_test::Bytes{1}));
        ASSERT_EQ(truncate(imagePath_.c_str(), c.imageSize), 0);
    } else if (c.imageSize == 0) {
        ASSERT_TRUE(ota_test::writeFile(imagePath_, ota_test::Bytes()));
    }

    EXPECT_EQ(update(c.partition, c.offset), 1);

    EXPECT_EQ(count(std::string("(): ") + c.message), c.times) << output_;
    expectFiller(device, 0, 4 * kMiB);
    EXPECT_EQ(ota_test::pathExists(imagePath_), c.imageSize >= 0);
    if (c.times == 2) {
        EXPECT_EQ(count("(): Could not write: " + imagePath_ + ". Try again.\n"), 1u) << output_;
        EXPECT_EQ(count("(): Could not write again: " + imagePath_ + ". \n"), 1u) << output_;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, FlashWriterRefusalTest,
    ::testing::Values(RefusalCase{"EmptyImage", 0, "serialsdata", 0,
                                  "[OTA_Flash_Writer]filesize err ! filesize = 0...\n", 2},
                      RefusalCase{"TwoGiBImage", 2147483648L, "serialsdata", 0,
                                  "[OTA_Flash_Writer]filesize err ! filesize = 2147483648...\n", 2},
                      RefusalCase{"LargerThanThePartition", 2147483647L, "serialsdata", 0,
                                  "[OTA_Flash_Writer]image does not fit !", 2},
                      RefusalCase{"NegativeOffset", 1000, "serialsdata", -1,
                                  "[OTA_Flash_Writer]fseek fd error ! offset = -1", 2},
                      RefusalCase{"NoSuchPartition", 1000, "kernel", 0, "can not get blkdev.\n", 1},
                      RefusalCase{"PartitionNameInCapitals", 1000, "SERIALSDATA", 0,
                                  "can not get blkdev.\n", 1},
                      RefusalCase{"NoImage", -1, "serialsdata", 0, "updateFilePath ", 1}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// A device node that is gone must fail the write: opening it must not
// create a regular file that swallows the image and reports success.
TEST_F(FlashWriterTest, MissingDeviceNodeFailsWithoutCreatingAFile) {
    const char* device = ota_paths::kTvserviceDevice;
    struct stat st {};
    ASSERT_EQ(stat(device, &st), 0);
    ASSERT_EQ(unlink(device), 0);
    ASSERT_TRUE(ota_test::writeFile(imagePath_, ota_test::patternBytes(1000, 8)));

    int result = update("tvservice", 0);

    bool created = ota_test::pathExists(device);
    unlink(device);
    ASSERT_EQ(mknod(device, st.st_mode, st.st_rdev), 0) << "restoring the node";
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(created);
    EXPECT_EQ(count("(): [OTA_Flash_Writer]open fd error...\n"), 2u) << output_;
    EXPECT_TRUE(ota_test::pathExists(imagePath_));
}

// Refuses the first open of a file and allows every later one, the way a
// file briefly held by a security policy or a busy agent behaves. The kernel
// holds the writer's open until this listener answers, so the order is exact.
// (The kernel sends no permission events for device nodes, so the file that
// is briefly unavailable is the image.)
class DenyFirstOpen {
public:
    explicit DenyFirstOpen(const char* path) {
        fanotify_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
        if (fanotify_ < 0 || pipe2(stop_, O_CLOEXEC) != 0 ||
            fanotify_mark(fanotify_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, path) != 0) {
            ADD_FAILURE() << "fanotify on " << path << ": " << strerror(errno);
            return;
        }
        listener_ = std::thread([this] { listen(); });
    }
    ~DenyFirstOpen() {
        if (listener_.joinable()) {
            (void)!write(stop_[1], "x", 1);
            listener_.join();
        }
        for (int fd : {fanotify_, stop_[0], stop_[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    int opens() const { return opens_; }

private:
    void listen() {
        pollfd fds[2] = {{fanotify_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) == 0) {
            alignas(fanotify_event_metadata) char events[4096];
            ssize_t length = read(fanotify_, events, sizeof events);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(events);
            for (; FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
                if (event->mask & FAN_OPEN_PERM) {
                    fanotify_response response{};
                    response.fd = event->fd;
                    response.response = opens_++ == 0 ? FAN_DENY : FAN_ALLOW;
                    (void)!write(fanotify_, &response, sizeof response);
                }
                if (event->fd >= 0) {
                    close(event->fd);
                }
            }
        }
    }

    int fanotify_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<int> opens_{0};
    std::thread listener_;
};

TEST_F(FlashWriterTest, SecondAttemptWritesWhenTheFirstCannotOpenTheImage) {
    const std::string device = ota_paths::kTvserviceDevice;
    fillDevice(device, 0, 2 * kFlashChunkSize, 9);
    Bytes image = ota_test::patternBytes(kFlashChunkSize + 100, 10);
    ASSERT_TRUE(ota_test::writeFile(imagePath_, image));

    int result;
    int opens;
    {
        DenyFirstOpen deny(imagePath_.c_str());
        result = update("tvservice_split_partaa", 0);
        opens = deny.opens();
    }

    EXPECT_EQ(result, 0) << output_;
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(count("(): [OTA_Flash_Writer]open fp error...fileName = " + imagePath_ + "\n"), 1u)
        << output_;
    EXPECT_EQ(count("(): Could not write: " + imagePath_ + ". Try again.\n"), 1u) << output_;
    EXPECT_EQ(count("Could not write again"), 0u) << output_;
    EXPECT_TRUE(ota_test::readRange(device, 0, image.size()) == image);
    expectFiller(device, static_cast<long>(image.size()), 2 * kFlashChunkSize);
    EXPECT_FALSE(ota_test::pathExists(imagePath_));
}

// A written image that cannot be removed (here: a mount point, which the
// sandbox's own mount namespace allows) is still a written image.
TEST_F(FlashWriterTest, UndeletableImageStillCountsAsWritten) {
    const std::string device = ota_paths::kUsrfsDevice;
    ota_test::Bytes image = ota_test::patternBytes(5000, 13);
    std::string held = dir_ + "held";
    ASSERT_TRUE(ota_test::writeFile(held, image));
    ASSERT_TRUE(ota_test::writeFile(imagePath_, ota_test::Bytes{0}));
    ASSERT_EQ(mount(held.c_str(), imagePath_.c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);

    int result = update("usrfs", 0);
    bool stillThere = ota_test::pathExists(imagePath_);
    umount2(imagePath_.c_str(), 0);

    EXPECT_EQ(result, 0) << output_;
    EXPECT_TRUE(stillThere);
    EXPECT_EQ(count("(): Cannot delete: " + imagePath_ + ".\n"), 1u) << output_;
    EXPECT_TRUE(ota_test::readRange(device, 0, image.size()) == image);
}

// One attempt on its own: it writes but leaves the image to its caller, and
// a partition held in a regular file keeps its length.
TEST_F(FlashWriterTest, AttemptKeepsImageAndDoesNotTruncate) {
    std::string target = dir_ + "partition.img";
    Bytes partition = ota_test::patternBytes(3 * kMiB, 11);
    ASSERT_TRUE(ota_test::writeFile(target, partition));
    Bytes image = ota_test::patternBytes(5000, 12);
    ASSERT_TRUE(ota_test::writeFile(imagePath_, image));

    ::testing::internal::CaptureStdout();
    int result = flashWriterBlock(target.c_str(), kMiB, imagePath_.c_str());
    output_ = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 0) << output_;
    std::copy(image.begin(), image.end(), partition.begin() + kMiB);
    EXPECT_TRUE(ota_test::readFile(target) == partition);
    EXPECT_TRUE(ota_test::readFile(imagePath_) == image);
}

// A target that takes fewer bytes than it is given fails the attempt with
// the count it took and the system's reason.
TEST_F(FlashWriterTest, AttemptOnAFullTargetFails) {
    std::string small = dir_ + "small/";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k"), 0) << strerror(errno);
    std::string target = small + "partition.img";
    ASSERT_TRUE(ota_test::writeFile(target, ota_test::Bytes()));
    ASSERT_TRUE(ota_test::writeFile(imagePath_, ota_test::patternBytes(kMiB, 14)));

    ::testing::internal::CaptureStdout();
    int result = flashWriterBlock(target.c_str(), 0, imagePath_.c_str());
    output_ = ::testing::internal::GetCapturedStdout();
    umount2(small.c_str(), MNT_DETACH);

    EXPECT_EQ(result, 255);
    // The count is what 256 KiB of tmpfs took: less than the 1 MiB asked for.
    int taken = -1;
    int reason = -1;
    size_t at = output_.find("(): [OTA_Flash_Writer]fd write err ! err = ");
    ASSERT_NE(at, std::string::npos) << output_;
    ASSERT_EQ(
        sscanf(output_.c_str() + at, "(): [OTA_Flash_Writer]fd write err ! err = %d..errno = %d..",
               &taken, &reason),
        2);
    EXPECT_GE(taken, 0);
    EXPECT_LT(taken, kMiB);
    EXPECT_EQ(reason, ENOSPC);
}

TEST_F(FlashWriterTest, AttemptWithoutImageFails) {
    std::string missing = dir_ + "absent";
    ::testing::internal::CaptureStdout();
    int result = flashWriterBlock(ota_paths::kUsrfsDevice, 0, missing.c_str());
    output_ = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 255);
    EXPECT_EQ(count("(): [OTA_Flash_Writer]open fp error...fileName = " + missing + "\n"), 1u)
        << output_;
}

}  // namespace
