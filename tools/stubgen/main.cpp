// velmora_stubgen: writes the extension module's type-stub file from the type
// descriptions of the two class tables the module is built from, so the stub
// can never drift from what the module was built with.
//
// Usage: velmora_stubgen OUTPUT.pyi

#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "module/arm_class.hpp"
#include "module/neck_class.hpp"
#include "module/type_descriptions.hpp"

namespace {

using namespace velmora::module::types;

// Longest signature line kept whole; longer ones take one parameter a line, as
// formatters lay out Python code, so the stub reads well in an editor.
constexpr std::size_t line_limit = 100;
constexpr std::string_view indent = "    ";

enum ExitStatus { ok = 0, cannot_write = 1, usage = 2 };

struct ClassEntry {
    const char* name;
    std::span<const MethodDescription> methods;  // the constructor, then the table's order
};

template <auto& Table>
constexpr ClassEntry entry_of() {
    using Descriptions = TableDescriptions<Table>;
    return {Descriptions::name, Descriptions::methods};
}

// By name, as the stub lists them.
constexpr std::array classes = {entry_of<velmora::module::arm_class::table>(),
                                entry_of<velmora::module::neck_class::table>()};
static_assert(std::string_view(classes[0].name) < std::string_view(classes[1].name));
using velmora::module::module_name;

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

void write_class(std::ostream& out, const ClassEntry& entry, std::set<std::string>& imports) {
    // None of the module's classes can be subclassed (they are built without
    // the base-type flag), and the stub must say so to match. Their own
    // docstrings are empty: each class's text is its constructor's.
    imports.insert("typing");
    out << "@typing.final\nclass " << entry.name << ":\n";
    for (const MethodDescription& method : entry.methods) write_method(out, method, imports);
}

std::string render() {
    std::set<std::string> imports;
    std::ostringstream body;
    for (const ClassEntry& entry : classes) {
        body << '\n';
        write_class(body, entry, imports);
    }
    // The stub is that module: its own classes are named bare, not imported.
    imports.erase(module_name);

    std::ostringstream out;
    out << "# Type stub of the " << module_name << " extension module, written at build time\n"
        << "# by velmora_stubgen from the type descriptions compiled into it. Do not edit.\n\n";
    for (const std::string& module : imports) out << "import " << module << '\n';
    out << "\n__all__ = [";
    for (std::size_t i = 0; i < classes.size(); ++i) out << (i > 0 ? ", " : "") << '"' << classes[i].name << '"';
    out << "]\n" << body.str();
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.pyi\n", argv[0]);
        return usage;
    }
    const std::string stub = render();
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
