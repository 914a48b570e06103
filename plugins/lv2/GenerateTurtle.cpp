// Writes the bundle's manifest.ttl, halvane.ttl and presets.ttl from the plugin and preset tables.
// Usage: halvane_lv2_turtle OUTPUT_DIR MODULE_FILE_NAME
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Lv2Table.h"

using namespace halvane_lv2;

namespace {

const char* const PREFIXES = "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
                             "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
                             "@prefix pg: <http://lv2plug.in/ns/ext/port-groups#> .\n"
                             "@prefix pprop: <http://lv2plug.in/ns/ext/port-props#> .\n"
                             "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
                             "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
                             "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n\n";

// The shortest fixed-point decimal that reads back as the same float, so that a host parsing it gets
// exactly the library's value.
std::string Decimal(float v) {
    char text[48];
    for (int decimals = 1; decimals <= 12; ++decimals) {
        std::snprintf(text, sizeof(text), "%.*f", decimals, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v)
            break;
    }
    return text;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// The input and output port groups and the plugin's own description, up to its port list.
void WriteHeader(std::ostream& ttl, const Variant& variant, const std::string& uri, const std::string& in,
                 const std::string& out) {
    const LayoutInfo& layout = *variant.layout;
    const bool mono = variant.inputs == 1;
    const std::string title = TitleOf(layout);
    ttl << in << "\n    a " << (mono ? "pg:MonoGroup" : "pg:StereoGroup") << " , pg:InputGroup ;\n"
        << "    lv2:symbol \"in\" ;\n    rdfs:label \"Input\" .\n\n";
    ttl << out << "\n    a pg:" << layout.group << " , pg:OutputGroup ;\n"
        << "    lv2:symbol \"out\" ;\n    rdfs:label \"Speakers\" ;\n    pg:source " << in << " .\n\n";

    ttl << "<" << uri << ">\n    a lv2:Plugin , lv2:SpatialPlugin ;\n"
        << "    doap:name " << Quoted("Halvane " + title + (mono ? " (mono in)" : "")) << " ;\n"
        << "    rdfs:comment "
        << Quoted(std::string("Places a ") + (mono ? "mono" : "stereo") + " source in a room and feeds a " +
                  title + " speaker layout: position gains, travel-time delays" +
                  (HalvaneLfeChannel(layout) >= 0 ? ", an LFE channel" : "") +
                  " and a room reverb on every speaker.")
        << " ;\n"
        << "    lv2:minorVersion 0 ;\n    lv2:microVersion 0 ;\n"
        // Control changes glide and allocate nothing, the room size and cut-offs included.
        << "    lv2:optionalFeature lv2:hardRTCapable ;\n"
        << "    pg:mainInput " << in << " ;\n    pg:mainOutput " << out << " ;\n    lv2:port ";
}

void WriteAudioIn(std::ostream& ttl, int index, int which, bool mono, const std::string& in) {
    const char* symbol = mono ? "in" : (which == 0 ? "in_l" : "in_r");
    const char* name = mono ? "In" : (which == 0 ? "Left in" : "Right in");
    const char* designation = mono ? "center" : (which == 0 ? "left" : "right");
    ttl << "        a lv2:InputPort , lv2:AudioPort ;\n        lv2:index " << index
        << " ;\n        lv2:symbol \"" << symbol << "\" ;\n        lv2:name \"" << name
        << "\" ;\n        pg:group " << in << " ;\n        lv2:designation pg:" << designation << "\n";
}

void WriteAudioOut(std::ostream& ttl, int index, int bit, const std::string& out) {
    const SpeakerInfo speaker = SpeakerOfBit(bit);
    ttl << "        a lv2:OutputPort , lv2:AudioPort ;\n        lv2:index " << index
        << " ;\n        lv2:symbol \"out_" << speaker.symbol << "\" ;\n        lv2:name \"" << speaker.name
        << "\" ;\n        pg:group " << out << " ;\n        lv2:designation pg:" << speaker.designation
        << "\n";
}

void WriteControl(std::ostream& ttl, int index, const ControlInfo& c) {
    ttl << "        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " << index
        << " ;\n        lv2:symbol \"" << c.symbol << "\" ;\n        lv2:name \"" << c.name
        << "\" ;\n        rdfs:comment " << Quoted(c.comment) << " ;\n";
    if (c.kind == Kind::Float) {
        ttl << "        lv2:default " << Decimal(c.def) << " ;\n        lv2:minimum " << Decimal(c.min)
            << " ;\n        lv2:maximum " << Decimal(c.max);
    } else {
        ttl << "        lv2:default " << static_cast<int>(c.def) << " ;\n        lv2:minimum "
            << static_cast<int>(c.min) << " ;\n        lv2:maximum " << static_cast<int>(c.max);
        ttl << " ;\n        lv2:portProperty "
            << (c.kind == Kind::Toggle ? "lv2:toggled" : "lv2:integer , pprop:logarithmic");
    }
    if (c.hidden)
        ttl << " ;\n        lv2:portProperty pprop:notOnGUI";
    if (c.unit)
        ttl << " ;\n        units:unit units:" << c.unit;
    for (const ScalePoint& point : c.points) {
        if (!point.label)
            break;
        ttl << " ;\n        lv2:scalePoint [ rdfs:label \"" << point.label << "\" ; rdf:value "
            << static_cast<int>(point.value) << " ]";
    }
    ttl << "\n";
}

void WriteSpeakerVolume(std::ostream& ttl, int index, int bit) {
    const SpeakerInfo speaker = SpeakerOfBit(bit);
    ttl << "        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " << index
        << " ;\n        lv2:symbol \"volume_" << speaker.symbol << "\" ;\n        lv2:name \"" << speaker.name
        << " volume\" ;\n        rdfs:comment \"Volume of the " << speaker.name
        << " speaker\" ;\n        lv2:default 1.0 ;\n        lv2:minimum 0.0 ;\n        lv2:maximum "
        << Decimal(SPEAKER_VOLUME_MAX) << " ;\n        units:unit units:coef\n";
}

void WritePlugin(std::ostream& ttl, int index) {
    const Variant variant = VariantOf(index);
    const LayoutInfo& layout = *variant.layout;
    const std::string uri = UriOf(variant);
    const std::string in = "<" + uri + "#in>";
    const std::string out = "<" + uri + "#out>";
    WriteHeader(ttl, variant, uri, in, out);

    PortInfo ports[MAX_PORTS];
    const int count = PortsOf(variant, ports);
    for (int i = 0; i < count; ++i) {
        const PortInfo& port = ports[i];
        ttl << (i == 0 ? "[\n" : " , [\n");
        switch (port.role) {
        case PortRole::AudioIn:
            WriteAudioIn(ttl, i, port.which, variant.inputs == 1, in);
            break;
        case PortRole::AudioOut:
            WriteAudioOut(ttl, i, layout.speakers[port.which], out);
            break;
        case PortRole::Control:
            WriteControl(ttl, i, CONTROLS[port.which]);
            break;
        case PortRole::SpeakerVolume:
            WriteSpeakerVolume(ttl, i, layout.speakers[port.which]);
            break;
        }
        ttl << "    ]";
    }
    ttl << " .\n\n";
}

// URI of a preset of a plugin.
std::string PresetUriOf(int plugin, const HalvanePreset& preset) {
    return UriOf(VariantOf(plugin)) + "#preset-" + preset.name;
}

// Every preset of the table, for every plugin.
std::string PresetsTurtle() {
    std::ostringstream ttl;
    ttl << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
        << "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
        << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n";
    for (int i = 0; i < PLUGIN_COUNT; ++i) {
        for (const HalvanePreset& preset : HALVANE_PRESETS) {
            ttl << "<" << PresetUriOf(i, preset) << ">\n    a pset:Preset ;\n    lv2:appliesTo <"
                << UriOf(VariantOf(i)) << "> ;\n    rdfs:label " << Quoted(preset.label)
                << " ;\n    rdfs:comment " << Quoted(preset.description) << " ;\n    lv2:port ";
            PresetValue values[PRESET_VALUE_COUNT];
            PresetValuesOf(preset, values);
            for (int k = 0; k < PRESET_VALUE_COUNT; ++k)
                ttl << (k == 0 ? "" : " , ") << "[\n        lv2:symbol \""
                    << CONTROLS[values[k].control].symbol << "\" ;\n        pset:value "
                    << Decimal(values[k].value) << "\n    ]";
            ttl << " .\n\n";
        }
    }
    return ttl.str();
}

const char* const HEADPHONE_PREFIXES = "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
                                       "@prefix patch: <http://lv2plug.in/ns/ext/patch#> .\n"
                                       "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
                                       "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
                                       "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n";

// A control port of the table, at index i.
void WriteControl(std::ostream& ttl, const ControlInfo& c, int i) {
    ttl << "        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " << i
        << " ;\n        lv2:symbol \"" << c.symbol << "\" ;\n        lv2:name \"" << c.name
        << "\" ;\n        rdfs:comment " << Quoted(c.comment) << " ;\n";
    if (c.kind == Kind::Float) {
        ttl << "        lv2:default " << Decimal(c.def) << " ;\n        lv2:minimum " << Decimal(c.min)
            << " ;\n        lv2:maximum " << Decimal(c.max);
    } else {
        ttl << "        lv2:default " << static_cast<int>(c.def) << " ;\n        lv2:minimum "
            << static_cast<int>(c.min) << " ;\n        lv2:maximum " << static_cast<int>(c.max);
        ttl << " ;\n        lv2:portProperty "
            << (c.kind == Kind::Toggle ? "lv2:toggled" : "lv2:integer , pprop:logarithmic");
    }
    if (c.unit)
        ttl << " ;\n        units:unit units:" << c.unit;
    for (const ScalePoint& point : c.points) {
        if (!point.label)
            break;
        ttl << " ;\n        lv2:scalePoint [ rdfs:label \"" << point.label << "\" ; rdf:value "
            << static_cast<int>(point.value) << " ]";
    }
    ttl << "\n";
}

// One port of a headphone plugin.
void WriteEarPort(std::ostream& ttl, const EarPortInfo& port, int i, bool mono) {
    switch (port.role) {
    case EarPortRole::AudioIn:
        ttl << "        a lv2:InputPort , lv2:AudioPort ;\n        lv2:index " << i
            << " ;\n        lv2:symbol \"" << (mono ? "in" : (port.which == 0 ? "in_l" : "in_r"))
            << "\" ;\n        lv2:name \"" << (mono ? "In" : (port.which == 0 ? "Left in" : "Right in"))
            << "\"\n";
        break;
    case EarPortRole::AudioOut:
        ttl << "        a lv2:OutputPort , lv2:AudioPort ;\n        lv2:index " << i
            << " ;\n        lv2:symbol \"" << (port.which == 0 ? "out_l" : "out_r")
            << "\" ;\n        lv2:name \"" << (port.which == 0 ? "Left ear" : "Right ear") << "\"\n";
        break;
    case EarPortRole::Layout:
        ttl << "        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " << i
            << " ;\n        lv2:symbol \"layout\" ;\n        lv2:name \"Layout\" ;\n"
            << "        rdfs:comment \"The speaker layout heard through the headphones\" ;\n"
            << "        lv2:default 63 ;\n        lv2:minimum 3 ;\n        lv2:maximum 1599 ;\n"
            << "        lv2:portProperty lv2:integer , lv2:enumeration";
        for (const LayoutInfo& layout : LAYOUTS)
            ttl << " ;\n        lv2:scalePoint [ rdfs:label \"" << layout.name << "\" ; rdf:value "
                << layout.code << " ]";
        ttl << "\n";
        break;
    case EarPortRole::Control:
        WriteControl(ttl, CONTROLS[port.which], i);
        break;
    case EarPortRole::Latency:
        ttl << "        a lv2:OutputPort , lv2:ControlPort ;\n        lv2:index " << i
            << " ;\n        lv2:symbol \"latency\" ;\n        lv2:name \"Latency\" ;\n"
            << "        lv2:designation lv2:latency ;\n        lv2:portProperty lv2:reportsLatency , "
               "lv2:integer ;\n"
            << "        units:unit units:frame\n";
        break;
    case EarPortRole::Events:
        ttl << "        a lv2:InputPort , atom:AtomPort ;\n        lv2:index " << i
            << " ;\n        lv2:symbol \"control\" ;\n        lv2:name \"Control\" ;\n"
            << "        atom:bufferType atom:Sequence ;\n        atom:supports patch:Message ;\n"
            << "        lv2:designation lv2:control\n";
        break;
    }
}

void WriteHeadphonePlugin(std::ostream& ttl, int inputs) {
    const std::string uri = HeadphoneUriOf(inputs);
    const bool mono = inputs == 1;
    ttl << "<" << uri << ">\n    a lv2:Plugin , lv2:SpatialPlugin ;\n"
        << "    doap:name " << Quoted(std::string("Halvane headphones") + (mono ? " (mono in)" : ""))
        << " ;\n"
        << "    rdfs:comment "
        << Quoted(std::string("Places a ") + (mono ? "mono" : "stereo") +
                  " source in a room with a speaker layout, reverb and LFE, and renders the speakers to two "
                  "ears as virtual speakers on the room's walls (HRIRs from a SOFA file).")
        << " ;\n    lv2:minorVersion 0 ;\n    lv2:microVersion 0 ;\n"
        << "    lv2:requiredFeature urid:map ;\n    lv2:optionalFeature work:schedule ;\n"
        << "    lv2:extensionData work:interface , state:interface ;\n"
        << "    patch:writable <" << HRTF_PARAMETER << "> ;\n    lv2:port ";
    EarPortInfo ports[MAX_EAR_PORTS];
    const int count = HeadphonePortsOf(inputs, ports);
    for (int i = 0; i < count; ++i) {
        ttl << (i == 0 ? "[\n" : " , [\n");
        WriteEarPort(ttl, ports[i], i, mono);
        ttl << "    ]";
    }
    ttl << " .\n\n";
}

void WriteHeadphonePlugins(std::ostream& ttl) {
    ttl << HEADPHONE_PREFIXES;
    ttl << "<" << HRTF_PARAMETER << ">\n    a lv2:Parameter ;\n    rdfs:label \"HRTF file\" ;\n"
        << "    rdfs:comment \"SOFA file of the head-related impulse responses; without one, the KEMAR "
           "set "
           "libmysofa installs\" ;\n    rdfs:range atom:Path .\n\n";
    WriteHeadphonePlugin(ttl, 2);
    WriteHeadphonePlugin(ttl, 1);
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        std::fprintf(stderr, "halvane_lv2_turtle: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: halvane_lv2_turtle OUTPUT_DIR MODULE_FILE_NAME\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::string module = argv[2];

    std::ostringstream manifest;
    manifest << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
             << "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
             << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n";
    for (int i = 0; i < PLUGIN_COUNT; ++i)
        manifest << "<" << UriOf(VariantOf(i)) << ">\n    a lv2:Plugin ;\n    lv2:binary <" << module
                 << "> ;\n    rdfs:seeAlso <halvane.ttl> .\n\n";
    for (int i = 0; i < PLUGIN_COUNT; ++i)
        for (const HalvanePreset& preset : HALVANE_PRESETS)
            manifest << "<" << PresetUriOf(i, preset) << ">\n    a pset:Preset ;\n    lv2:appliesTo <"
                     << UriOf(VariantOf(i)) << "> ;\n    rdfs:seeAlso <presets.ttl> .\n\n";
    for (int inputs : {2, 1})
        manifest << "<" << HeadphoneUriOf(inputs) << ">\n    a lv2:Plugin ;\n    lv2:binary <" << module
                 << "> ;\n    rdfs:seeAlso <halvane.ttl> .\n\n";

    std::ostringstream ttl;
    ttl << PREFIXES;
    for (int i = 0; i < PLUGIN_COUNT; ++i)
        WritePlugin(ttl, i);
    WriteHeadphonePlugins(ttl);

    const bool ok = WriteFile(dir + "/manifest.ttl", manifest.str()) &&
                    WriteFile(dir + "/halvane.ttl", ttl.str()) &&
                    WriteFile(dir + "/presets.ttl", PresetsTurtle());
    return ok ? 0 : 1;
}
