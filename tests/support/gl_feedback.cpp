// GL feedback mode capture and strip recovery for drawing tests.
#include "support/gl_feedback.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

constexpr int feedbackFloats = 1 << 20;        // room for thousands of quads
constexpr int valuesPerVertex = 12;            // GL_4D_COLOR_TEXTURE: xyzw rgba strq

static std::vector<GLfloat> feedbackBuffer(feedbackFloats);

std::vector<FeedbackVertex> captureTriangles(const std::function<void()>& draw) {
    std::vector<FeedbackVertex> out;
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    glFeedbackBuffer(feedbackFloats, GL_4D_COLOR_TEXTURE, feedbackBuffer.data());
    glRenderMode(GL_FEEDBACK);
    draw();
    const GLint count = glRenderMode(GL_RENDER);
    EXPECT_GE(count, 0) << "feedback buffer overflowed";
    for (GLint i = 0; i < count;) {
        const GLint token = (GLint)feedbackBuffer[i++];
        if (token != GL_POLYGON_TOKEN) {
            ADD_FAILURE() << "unexpected feedback token " << token;
            return out;
        }
        const GLint n = (GLint)feedbackBuffer[i++];
        EXPECT_EQ(n, 3) << "polygon with " << n << " vertices";
        for (GLint k = 0; k < n; k++, i += valuesPerVertex) {
            const GLfloat* f = &feedbackBuffer[i];
            FeedbackVertex v;
            v.x = f[0] - (float)viewport[0];
            v.y = (float)(viewport[1] + viewport[3]) - f[1];
            for (int c = 0; c < 4; c++) v.colour[c] = f[4 + c];
            v.texture[0] = f[8];
            v.texture[1] = f[9];
            out.push_back(v);
        }
    }
    return out;
}

static bool sameVertex(const FeedbackVertex& a, const FeedbackVertex& b) {
    return a.x == b.x && a.y == b.y && a.texture[0] == b.texture[0] && a.texture[1] == b.texture[1];
}

std::vector<FeedbackStrip> captureStrips(const std::function<void()>& draw) {
    std::vector<FeedbackVertex> t = captureTriangles(draw);
    std::vector<FeedbackStrip> strips;
    EXPECT_EQ(t.size() % 6, 0u) << "triangles do not pair up into strips";
    for (size_t i = 0; i + 6 <= t.size(); i += 6) {
        // A strip v0 v1 v2 v3 comes back as (v0 v1 v2) then (v2 v1 v3).
        EXPECT_TRUE(sameVertex(t[i + 3], t[i + 2]) && sameVertex(t[i + 4], t[i + 1]))
            << "triangles " << i / 3 << " and " << i / 3 + 1 << " are not one strip";
        strips.push_back({{t[i], t[i + 1], t[i + 2], t[i + 5]}});
    }
    return strips;
}
