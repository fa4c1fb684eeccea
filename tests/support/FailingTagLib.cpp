// A stand-in for TagLib's C binding whose every save fails: loaded by TMP3Out through
// FONOLUX_TAGLIB_LIBRARY, it shows what a failed tag write after a complete MP3 does.
extern "C" {

namespace {
int file;
int tag;
} // namespace

__attribute__((visibility("default"))) void taglib_id3v2_set_default_text_encoding(int) {}
__attribute__((visibility("default"))) void *taglib_file_new(const char *) { return &file; }
__attribute__((visibility("default"))) void *taglib_file_tag(const void *) { return &tag; }
__attribute__((visibility("default"))) int taglib_file_is_valid(const void *) { return 1; }
__attribute__((visibility("default"))) void taglib_tag_set_title(void *, const char *) {}
__attribute__((visibility("default"))) void taglib_tag_set_artist(void *, const char *) {}
__attribute__((visibility("default"))) void taglib_tag_set_album(void *, const char *) {}
__attribute__((visibility("default"))) void taglib_tag_set_genre(void *, const char *) {}
__attribute__((visibility("default"))) void taglib_tag_set_year(void *, unsigned) {}
__attribute__((visibility("default"))) void taglib_tag_set_track(void *, unsigned) {}
__attribute__((visibility("default"))) int taglib_file_save(void *) { return 0; }
__attribute__((visibility("default"))) void taglib_file_free(void *) {}
}
