#include "app/views/video/GStreamerTuning.h"

#include <gst/gst.h>

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace app {

namespace {

int allowedCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

void tune(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory)
        return;
    const char* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
    if (std::strcmp(name, "videoconvert") == 0) {
        // 10-bit frames reach Qt's sink only through this converter; one thread cannot keep up at 4K.
        const char* threads = std::getenv("TESS_GST_THREADS");
        g_object_set(element, "n-threads", threads ? guint(std::atoi(threads)) : guint(std::min(allowedCores(), 8)), nullptr);
        if (const char* dither = std::getenv("TESS_GST_DITHER"))
            g_object_set(element, "dither", std::atoi(dither), nullptr);
    }
    if (const char* lateness = std::getenv("TESS_GST_LATENESS"); lateness && g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-lateness") && GST_IS_BIN(element) == FALSE && GST_OBJECT_FLAG_IS_SET(element, GST_ELEMENT_FLAG_SINK))
        g_object_set(element, "max-lateness", gint64(std::atoll(lateness)) * GST_MSECOND, nullptr);
    if (std::getenv("TESS_GST_TRACE"))
        g_printerr("gst element %s\n", name);
}

// Every element ends up in some bin, so the bins' element-added signal sees them all.
gboolean onElementAdded(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    if (count >= 2)
        if (auto* element = GST_ELEMENT(g_value_get_object(&values[1])))
            tune(element);
    return TRUE;
}

} // namespace

void tuneGStreamerPlayback()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (!gst_init_check(nullptr, nullptr, nullptr))
            return;
        const guint signal = g_signal_lookup("element-added", GST_TYPE_BIN);
        if (signal != 0)
            g_signal_add_emission_hook(signal, 0, onElementAdded, nullptr, nullptr);
    });
}

} // namespace app
