// The page's script and style and the charting library, built into the
// program as NUL-terminated data, so that a report needs no other file.

#define REPORT_ASSET(name, path)                                                     \
    asm(".pushsection .rodata\n.global " #name "\n.type " #name ", @object\n" #name \
        ":\n.incbin \"" path "\"\n.byte 0\n.popsection\n")

REPORT_ASSET(report_echarts, REPORT_ECHARTS_JS);
REPORT_ASSET(report_page_js, REPORT_PAGE_JS);
REPORT_ASSET(report_page_css, REPORT_PAGE_CSS);
