#include "jpeg_io.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <cstring>
#include <memory>
#include <string>

#include "file_kind.h"
#include "grey.h"

namespace {

// libjpeg's errors return to the setjmp of the call under way; a warning
// (corrupt data it would fill in) is noted; nothing is printed.
struct TErrors {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  bool Warned = false;
};

[[noreturn]] void OnExit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<TErrors*>(info->err)->Jump, 1);
}
void OnMessage(j_common_ptr info, int level) {
  if (level < 0) reinterpret_cast<TErrors*>(info->err)->Warned = true;
}
void OnOutput(j_common_ptr) {}

void SetUpErrors(TErrors& errors) {
  jpeg_std_error(&errors.Manager);
  errors.Manager.error_exit = OnExit;
  errors.Manager.emit_message = OnMessage;
  errors.Manager.output_message = OnOutput;
}

// The stream's header, its APPn and COM segments saved. Plain values only
// in the functions that call setjmp, as a longjmp may leave them.
bool ReadHeader(jpeg_decompress_struct* d, TErrors* errors, const std::vector<std::uint8_t>* bytes,
                bool markers) {
  if (setjmp(errors->Jump) != 0) return false;
  jpeg_create_decompress(d);
  jpeg_mem_src(d, bytes->data(), static_cast<unsigned long>(bytes->size()));
  if (markers) {
    jpeg_save_markers(d, JPEG_COM, 0xFFFF);
    for (int n = 0; n < 16; ++n) jpeg_save_markers(d, JPEG_APP0 + n, 0xFFFF);
  }
  jpeg_read_header(d, TRUE);
  return true;
}

bool DecodeRows(jpeg_decompress_struct* d, TErrors* errors, JSAMPROW* rows, std::uint32_t height) {
  if (setjmp(errors->Jump) != 0) return false;
  d->dct_method = JDCT_ISLOW;
  d->do_fancy_upsampling = TRUE;
  jpeg_start_decompress(d);
  while (d->output_scanline < height) {
    if (jpeg_read_scanlines(d, rows + d->output_scanline, height - d->output_scanline) == 0)
      return false;
  }
  jpeg_finish_decompress(d);
  return true;
}

struct TSink {
  jpeg_destination_mgr Manager;
  int Fd = -1;
  std::uint64_t At = 0;
  int Error = 0;
  JOCTET Buffer[1 << 16];
};

bool Put(TSink& sink, const JOCTET* data, std::size_t size) {
  return WriteAllAt(sink.Fd, data, size, sink.At, sink.Error);
}

TSink& SinkOf(j_compress_ptr c) { return *reinterpret_cast<TSink*>(c->dest); }
void StartSink(j_compress_ptr c) {
  SinkOf(c).Manager.next_output_byte = SinkOf(c).Buffer;
  SinkOf(c).Manager.free_in_buffer = sizeof SinkOf(c).Buffer;
}
boolean EmptySink(j_compress_ptr c) {
  TSink& sink = SinkOf(c);
  if (!Put(sink, sink.Buffer, sizeof sink.Buffer)) {
    c->err->msg_code = JERR_FILE_WRITE;
    c->err->error_exit(reinterpret_cast<j_common_ptr>(c));
  }
  StartSink(c);
  return TRUE;
}
void EndSink(j_compress_ptr c) {
  TSink& sink = SinkOf(c);
  if (!Put(sink, sink.Buffer, sizeof sink.Buffer - sink.Manager.free_in_buffer)) {
    c->err->msg_code = JERR_FILE_WRITE;
    c->err->error_exit(reinterpret_cast<j_common_ptr>(c));
  }
}

// Codes the rows as `d` (its header read, its segments saved) was coded.
bool EncodeRows(jpeg_compress_struct* c, TErrors* errors, jpeg_decompress_struct* d, TSink* sink,
                JSAMPROW* rows, std::uint32_t width, std::uint32_t height, bool colour) {
  if (setjmp(errors->Jump) != 0) return false;
  jpeg_create_compress(c);
  c->dest = &sink->Manager;
  sink->Manager.init_destination = StartSink;
  sink->Manager.empty_output_buffer = EmptySink;
  sink->Manager.term_destination = EndSink;
  c->image_width = width;
  c->image_height = height;
  c->input_components = colour ? 3 : 1;
  c->in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(c);
  // The tables, colour space and sampling as they were; the samples come
  // in as RGB, turned into the file's colour space.
  jpeg_copy_critical_parameters(d, c);
  c->in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
  c->input_components = colour ? 3 : 1;
  c->restart_interval = d->restart_interval;
  c->restart_in_rows = 0;
  c->dct_method = JDCT_ISLOW;
  c->optimize_coding = TRUE;
  if (d->progressive_mode) jpeg_simple_progression(c);
  // The file's own JFIF and Adobe segments go back as they were, with the rest.
  c->write_JFIF_header = FALSE;
  c->write_Adobe_marker = FALSE;
  jpeg_start_compress(c, TRUE);
  for (jpeg_saved_marker_ptr m = d->marker_list; m != nullptr; m = m->next)
    jpeg_write_marker(c, m->marker, m->data, m->data_length);
  while (c->next_scanline < height) {
    if (jpeg_write_scanlines(c, rows + c->next_scanline, height - c->next_scanline) == 0)
      return false;
  }
  jpeg_finish_compress(c);
  return true;
}

// The file open in `page`, whole, into `file`.
bool ReadFile(const TPageFile& page, TJpegFile& file, TRefusal& why) {
  if (ReadWhole(page.Fd, file.Bytes)) return true;
  why = {TRefusalKind::Unreadable, "cannot be read"};
  return false;
}

// The header of `file`, judged as ListJpeg says; `d` is left created.
std::int32_t Examine(jpeg_decompress_struct& d, TErrors& errors, const TJpegFile& file,
                     bool markers, TRefusal& why) {
  why = {};
  SetUpErrors(errors);
  d.err = &errors.Manager;
  const char* kind = FileKindOf(file.Bytes.data(), file.Bytes.size());
  if (kind == nullptr || std::strcmp(kind, "a JPEG image") != 0) {
    why = {TRefusalKind::NotTiff, "not a JPEG file"};
    return -1;
  }
  if (!ReadHeader(&d, &errors, &file.Bytes, markers)) {
    why = {TRefusalKind::Damaged, "damaged JPEG header"};
    return -1;
  }
  const J_COLOR_SPACE space = d.jpeg_color_space;
  if (space == JCS_CMYK || space == JCS_YCCK) {
    why = {TRefusalKind::NotFlattened, "a CMYK JPEG is not flattened"};
    return 0;
  }
  if (d.arith_code) {
    why = {TRefusalKind::NotFlattened, "an arithmetic-coded JPEG is not flattened"};
    return 0;
  }
  if (d.data_precision != 8 ||
      !((space == JCS_GRAYSCALE && d.num_components == 1) ||
        ((space == JCS_YCbCr || space == JCS_RGB) && d.num_components == 3))) {
    why = {TRefusalKind::NotFlattened, "a JPEG of this kind is not flattened"};
    return 0;
  }
  return 1;
}

}  // namespace

std::int32_t ListJpeg(const TPageFile& page, TJpegFile& file, TRefusal& why) {
  jpeg_decompress_struct d{};
  TErrors errors;
  const std::int32_t kind = ReadFile(page, file, why) ? Examine(d, errors, file, false, why) : -1;
  jpeg_destroy_decompress(&d);
  return kind;
}

std::int32_t ReadJpeg(TMyImage& image, const TJpegFile& file,
                      const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                      TRefusal& why) {
  jpeg_decompress_struct d{};
  TErrors errors;
  if (Examine(d, errors, file, false, why) != 1) {
    jpeg_destroy_decompress(&d);
    return -1;
  }
  const bool colour = d.jpeg_color_space != JCS_GRAYSCALE;
  TMyImage header;
  header.Width = d.image_width;
  header.Height = d.image_height;
  header.BitsPerSample = 8;
  header.SamplesPerPixel = colour ? 3 : 1;
  header.Photometric = colour ? 2 : 1;
  header.PlanarConfig = 1;
  header.RowsPerStrip = 1;
  header.StripCount = header.Height;
  const std::uint64_t pixels64 = std::uint64_t{header.Width} * header.Height;
  if (pixels64 * (colour ? 3 : 1) >= (std::uint64_t{1} << 32)) {
    jpeg_destroy_decompress(&d);
    why = {TRefusalKind::TooLarge, "more pixels than it can hold"};
    return -1;
  }
  if (!reserve(header, pixels64 * (colour ? 25 : 13) / 4 + 2 * file.Bytes.size())) {
    jpeg_destroy_decompress(&d);
    return -1;
  }
  TakeHeader(image, std::move(header), 0);
  const std::uint32_t pixels = PixelCount(image);
  TPlane& samples = colour ? image.Rgb : image.Gray;
  std::vector<JSAMPROW> rows(image.Height);
  for (std::uint32_t y = 0; y < image.Height; ++y)
    rows[y] = samples.data() + std::size_t{y} * image.Width * (colour ? 3 : 1);
  d.out_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
  const bool decoded = DecodeRows(&d, &errors, rows.data(), image.Height) && !errors.Warned;
  jpeg_destroy_decompress(&d);
  if (!decoded) {
    why = {TRefusalKind::Damaged, "damaged JPEG data"};
    return -1;
  }
  if (colour) RgbToGray(image.Rgb.data(), image.Gray.data(), pixels);
  return 1;
}

std::int32_t WriteJpeg(TSafeWrite& write, const TMyImage& image, const TJpegFile& file) {
  const bool colour = IsColour(image);
  jpeg_decompress_struct d{};
  jpeg_compress_struct c{};
  TErrors readErrors, writeErrors;
  SetUpErrors(writeErrors);
  c.err = &writeErrors.Manager;
  TRefusal why;
  auto sink = std::make_unique<TSink>();
  sink->Fd = write.TempFd;
  bool written = false;
  if (Examine(d, readErrors, file, true, why) == 1) {
    const TPlane& samples = colour ? image.Rgb : image.Gray;
    std::vector<JSAMPROW> rows(image.Height);
    for (std::uint32_t y = 0; y < image.Height; ++y) {
      rows[y] =
          const_cast<JSAMPROW>(samples.data() + std::size_t{y} * image.Width * (colour ? 3 : 1));
    }
    written = EncodeRows(&c, &writeErrors, &d, sink.get(), rows.data(), image.Width, image.Height,
                         colour);
    jpeg_destroy_compress(&c);
  }
  jpeg_destroy_decompress(&d);
  if (!written) {
    write.Why = {TRefusalKind::Unwritable,
                 sink->Error != 0
                     ? "the new file cannot be written: " + std::string(std::strerror(sink->Error))
                     : std::string("the page cannot be written back in its coding")};
    return -1;
  }
  return 1;
}
