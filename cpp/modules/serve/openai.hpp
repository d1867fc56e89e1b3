// The OpenAI request and reply shapes: every field of a chat or completion request checked and
// turned into what the scheduler runs (rows and their settings), and the replies, stream chunks,
// logprobs and tool calls written back in OpenAI's shape.
#pragma once

#include "modules/serve/batcher.hpp"

#include <exception>
#include <string>
#include <vector>

namespace vz::serve {

// A refusal of one request: its HTTP status, the message, the request field it names and an
// optional machine-readable code.
struct ApiError : std::exception {
    int status;
    std::string message, param, code;
    ApiError(int status_, std::string message_, std::string param_ = "", std::string code_ = "")
        : status(status_), message(std::move(message_)), param(std::move(param_)), code(std::move(code_)) {}
    const char *what() const noexcept override { return message.c_str(); }
};

// The field a message names by starting with it in quotes ("'stop' must ..." -> "stop"), or "".
std::string param_of(const std::string &message);

// OpenAI's error body {"error": {"message", "type", "param", "code"}}; empty param and code are null.
nb::dict error_body(int status, const std::string &message, const std::string &param, const std::string &code);
// The same body as a JSON response (lone surrogates escaped, so any message can be sent).
nb::object error_response(int status, const std::string &message, const std::string &param, const std::string &code,
                          nb::handle headers = nb::none());

enum class ToolMode { Off, Auto, Required };  // Required: "required" or a named function

// What one request asks for, once every field has been checked.
struct Plan {
    nb::object model;
    std::vector<nb::object> inputs;  // conversations (chat) or prompt strings (completions)
    nb::object tools = nb::none();  // or the tools list handed to the chat template
    ToolMode tool_mode = ToolMode::Off;
    std::vector<std::string> tool_names;  // the declared functions
    int64_t limit = 0;                    // 0: the configured default
    int64_t n = 1;                        // choices per input
    RowSettings settings;
    bool stream = false, include_usage = false;
    bool completions = false;
};

// Checks a chat (or completion) request body, the JSON object as received, field by field; a
// refusal throws ApiError naming the field. The pydantic model has already checked the types
// it declares.
Plan parse_chat(nb::handle engine, nb::handle body);
Plan parse_completion(nb::handle engine, nb::handle body);

// choices[i].logprobs of a chat reply: {"content": [{"token", "logprob", "bytes", "top_logprobs"}]}.
nb::dict chat_logprobs(const std::vector<TokenLogprob> &tokens);
// choices[i].logprobs of a completion: {"tokens", "token_logprobs", "top_logprobs", "text_offset"}.
nb::dict completion_logprobs(const std::vector<TokenLogprob> &tokens, size_t offset);

// A reply read as tool calls: the calls (OpenAI's tool_calls list) and the text left around them.
struct ToolReply {
    nb::list calls;
    std::string content;
};
// Reads the calls out of a reply. Required mode: the reply is one JSON object {"name",
// "arguments"}. Auto mode: calls in <tool_call>...</tool_call> blocks, or a reply that is one
// JSON call of a declared function. No call found: `calls` is empty.
ToolReply read_tool_calls(const std::string &text, const Plan &plan);

// The JSON text of `obj` with non-ASCII escaped.
std::string json_text(nb::handle obj);

}  // namespace vz::serve
