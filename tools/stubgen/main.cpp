// velmora_stubgen: writes the extension module's type-stub file from the type
// descriptions that the description code registers at load time, so the stub
// can never drift from what the module was built with.
//
// Usage: velmora_stubgen OUTPUT.pyi

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "module/type_descriptions.hpp"

namespace {

using namespace velmora::module::types;

// Longest signature line kept whole; longer ones take one parameter a line, as
// formatters lay out Python code, so the stub reads well in an editor.
constexpr std::size_t line_limit = 100;
constexpr std::string_view indent = "    ";

enum ExitStatus { ok = 0, cannot_write = 1, usage = 2, inconsistent_registry = 3 };

struct ClassEntry {
    const ClassDescription* description;
    std::vector<const MethodSetDescription*> method_sets;  // in registration order
};

struct Collected {
    std::string module;
    std::vector<ClassEntry> classes;  // by name
    std::string error;
};

// The registries list the latest registration first: classes are sorted by
// name and each class's method sets put back in registration order, so the
// methods come out as the method tables list them.
Collected collect() {
    Collected out;
    for (const ClassDescription& description : class_registry()) {
        if (out.module.empty()) out.module = description.module;
        if (out.module != description.module) {
            out.error = "classes of two modules: " + out.module + " and " + description.module;
            return out;
        }
        out.classes.push_back({&description, {}});
    }
    if (out.classes.empty()) {
        out.error = "no class descriptions are registered";
        return out;
    }
    std::sort(out.classes.begin(), out.classes.end(), [](const ClassEntry& a, const ClassEntry& b) {
        return std::string_view(a.description->name) < std::string_view(b.description->name);
    });
    for (const MethodSetDescription& method_set : method_set_registry()) {
        const auto owner = std::find_if(out.classes.begin(), out.classes.end(), [&](const ClassEntry& entry) {
            return entry.description->key == method_set.key;
        });
        if (owner == out.classes.end()) {
            out.error = std::string("a method set for an unregistered class (key of ") +
                        method_set.key->class_name + ")";
            return out;
        }
        owner->method_sets.insert(owner->method_sets.begin(), &method_set);
    }
    return out;
}

// The body of a triple-quoted string literal that reads back as `text`.
std::string docstring_body(std::string_view text) {
    std::string body;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool closes_literal = c == '"' && (i + 1 == text.size() || text[i + 1] == '"');
        if (c == '\\' || closes_literal) body += '\\';
        body += c;
    }
    return body;
}

// A docstring at `depth` levels of indentation; continuation lines are
// indented like the opening quotes, and blank lines carry no spaces.
void write_docstring(std::ostream& out, std::string_view text, int depth) {
    std::string pad;
    for (int i = 0; i < depth; ++i) pad += indent;
    const std::string body = docstring_body(text);
    out << pad << "\"\"\"";
    std::size_t start = 0;
    bool multi_line = false;
    while (true) {
        const std::size_t end = body.find('\n', start);
        const std::string_view line = std::string_view(body).substr(start, end - start);
        if (start > 0 && !line.empty()) out << pad;
        out << line;
        if (end == std::string::npos) break;
        out << '\n';
        multi_line = true;
        start = end + 1;
    }
    if (multi_line) out << '\n' << pad;
    out << "\"\"\"\n";
}

void add_imports(std::set<std::string>& imports, const TypeExpression& expression) {
    imports.insert(expression.modules.begin(), expression.modules.end());
}

std::string parameter_text(const ParameterDescription& parameter, std::set<std::string>& imports) {
    const TypeExpression type = parameter.type();
    add_imports(imports, type);
    std::string text = std::string(parameter.name) + ": " + type.text;
    if (parameter.default_text != nullptr) {
        text += " = ";
        text += parameter.default_text->text();
    }
    return text;
}

void write_method(std::ostream& out, const MethodDescription& method, std::set<std::string>& imports) {
    std::vector<std::string> parameters;
    switch (method.kind) {
        case MethodKind::instance:
            parameters.emplace_back("self");
            break;
        case MethodKind::static_method:
            out << indent << "@staticmethod\n";
            break;
        case MethodKind::class_method:
            out << indent << "@classmethod\n";
            parameters.emplace_back("cls");
            break;
        case MethodKind::constructor:
            parameters.emplace_back("cls");
            break;
    }
    for (const ParameterDescription& parameter : method.parameters) {
        parameters.push_back(parameter_text(parameter, imports));
    }
    const TypeExpression result = method.result();
    add_imports(imports, result);

    const bool has_docstring = *method.docstring != '\0';
    const std::string tail = ") -> " + result.text + (has_docstring ? ":" : ": ...");
    std::string one_line = std::string(indent) + "def " + method.name + "(";
    for (std::size_t i = 0; i < parameters.size(); ++i) one_line += (i > 0 ? ", " : "") + parameters[i];
    one_line += tail;
    if (one_line.size() <= line_limit) {
        out << one_line << '\n';
    } else {
        out << indent << "def " << method.name << "(\n";
        for (const std::string& parameter : parameters) out << indent << indent << parameter << ",\n";
        out << indent << tail << '\n';
    }
    if (has_docstring) write_docstring(out, method.docstring, 2);
}

void write_attribute(std::ostream& out, const AttributeDescription& attribute, bool on_class,
                     std::set<std::string>& imports) {
    const TypeExpression type = attribute.type();
    add_imports(imports, type);
    out << indent << attribute.name << ": ";
    if (on_class) {
        imports.insert("typing");
        out << "typing.ClassVar[" << type.text << "]\n";
    } else {
        out << type.text << '\n';
    }
    if (*attribute.docstring != '\0') write_docstring(out, attribute.docstring, 1);
}

void write_class(std::ostream& out, const ClassEntry& entry, std::set<std::string>& imports) {
    const ClassDescription& description = *entry.description;
    // None of the module's classes can be subclassed (they are built without
    // the base-type flag), and the stub must say so to match.
    imports.insert("typing");
    out << "@typing.final\nclass " << description.name << ":\n";
    std::ostringstream body;
    if (*description.docstring != '\0') write_docstring(body, description.docstring, 1);
    for (const AttributeDescription& attribute : description.class_attributes) {
        write_attribute(body, attribute, true, imports);
    }
    for (const AttributeDescription& attribute : description.attributes) {
        write_attribute(body, attribute, false, imports);
    }
    for (const MethodSetDescription* method_set : entry.method_sets) {
        for (const AttributeDescription& attribute : method_set->attributes) {
            write_attribute(body, attribute, false, imports);
        }
        for (const MethodDescription& method : method_set->methods) write_method(body, method, imports);
    }
    const std::string text = body.str();
    out << (text.empty() ? std::string(indent) + "...\n" : text);
}

std::string render(const Collected& collected) {
    std::set<std::string> imports;
    std::ostringstream classes;
    for (const ClassEntry& entry : collected.classes) {
        classes << '\n';
        write_class(classes, entry, imports);
    }
    // The stub is that module: its own classes are named bare, not imported.
    imports.erase(collected.module);

    std::ostringstream out;
    out << "# Type stub of the " << collected.module << " extension module, written at build time\n"
        << "# by velmora_stubgen from the type descriptions compiled into it. Do not edit.\n\n";
    for (const std::string& module : imports) out << "import " << module << '\n';
    out << "\n__all__ = [";
    for (std::size_t i = 0; i < collected.classes.size(); ++i) {
        out << (i > 0 ? ", " : "") << '"' << collected.classes[i].description->name << '"';
    }
    out << "]\n" << classes.str();
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.pyi\n", argv[0]);
        return usage;
    }
    const Collected collected = collect();
    if (!collected.error.empty()) {
        std::fprintf(stderr, "velmora_stubgen: %s\n", collected.error.c_str());
        return inconsistent_registry;
    }
    const std::string stub = render(collected);
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file << stub;
    file.close();
    if (!file) {
        std::fprintf(stderr, "velmora_stubgen: cannot write %s\n", argv[1]);
        std::remove(argv[1]);
        return cannot_write;
    }
    return ok;
}
