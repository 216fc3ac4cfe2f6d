#!/usr/bin/python3
# The desktop the picture benchmark (picture_link.mjs) shows: a photo-like picture, a page of text
# that scrolls on command, a small window to be dragged and a full-screen "video" (photo-like frames
# redrawn at 30 a second) shown on command. Commands come one a line on stdin; what was done, and
# when (wall-clock ms), goes out as JSON lines on stdout.
#   scroll          the page moves by three lines (down, and up once at the end) and its marker
#                   shows the next step's colours
#   video on|off    the full-screen picture appears and changes 30 times a second, or goes
#   quit
# The marker (two bars above the page) encodes the scroll step as two of twelve hues, so a viewer
# can tell which step a drawn picture shows: 144 steps before the code repeats.
import colorsys
import json
import random
import sys
import time
import tkinter as tk

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageTk

SCREEN_W, SCREEN_H = 1920, 1080
PAGE = (960, 0, 960, 640)        # x, y, width, height of the text page
PHOTO = (0, 0, 960, 640)
DRAG = (1000, 680, 480, 320)
MARKER_H = 48
VIDEO_FRAMES = 10
VIDEO_PERIOD_MS = 33

WORDS = ('the picture of a screen moves over a narrow link as rectangles that changed since the last '
         'update while still parts are refined until they are exact and text stays sharp because few '
         'colours compress without loss into small files that a browser draws at once').split()


def emit(event, **fields):
    print(json.dumps({'event': event, 't': round(time.time() * 1000, 1), **fields}), flush=True)


def hue(index):
    # The same twelve hues the page's matcher knows: HSV(i * 30, 1, 0.9).
    r, g, b = colorsys.hsv_to_rgb((index % 12) / 12, 1.0, 0.9)
    return '#%02x%02x%02x' % (round(r * 255), round(g * 255), round(b * 255))


def photo(width, height, seed):
    # Smooth colour clouds with soft shapes and fine grain: many colours and gradients, like a photo.
    rng = random.Random(seed)
    small = (max(1, width // 8), max(1, height // 8))
    bands = [Image.effect_noise(small, 90).filter(ImageFilter.GaussianBlur(rng.uniform(4, 9))) for _ in range(3)]
    base = Image.merge('RGB', [b.point(lambda v, k=k: max(0, min(255, (v - 128) * 3 + 100 + 40 * k))) for k, b in enumerate(bands)])
    base = base.resize((width, height), Image.BICUBIC)
    shapes = Image.new('RGB', (width, height))
    draw = ImageDraw.Draw(shapes)
    for _ in range(14):
        x, y, r = rng.randrange(width), rng.randrange(height), rng.randrange(20, max(21, height // 4))
        draw.ellipse((x - r, y - r, x + r, y + r), fill=tuple(rng.randrange(256) for _ in range(3)))
    shapes = shapes.filter(ImageFilter.GaussianBlur(12))
    picture = Image.blend(base, shapes, 0.35)
    grain = Image.effect_noise((width, height), 12).convert('RGB')
    return ImageChops.add(picture, grain, scale=1.0, offset=-110)


def text_lines(count, seed):
    rng = random.Random(seed)
    lines = []
    for n in range(count):
        words = [rng.choice(WORDS) for _ in range(rng.randrange(6, 15))]
        lines.append(f'{n + 1:4d}  ' + ' '.join(words).capitalize() + '.')
    return '\n'.join(lines)


class Desktop:
    def __init__(self, root):
        self.root = root
        self.step = 0
        self.direction = 1  # down the page; at an end the scroll turns, so every run scrolls
        self.video_on = False
        self.video_index = 0
        self.video_shown = 0
        self.video_started = 0.0
        self.images = []
        self.photo_window = self.window(PHOTO, 'bench-photo')
        image = ImageTk.PhotoImage(photo(PHOTO[2], PHOTO[3], 1))
        self.images.append(image)
        tk.Label(self.photo_window, image=image, borderwidth=0).pack()
        self.page_window = self.window(PAGE, 'bench-page')
        bars = tk.Frame(self.page_window, height=MARKER_H)
        bars.pack(fill='x')
        self.bars = [tk.Frame(bars, width=PAGE[2] // 2, height=MARKER_H) for _ in range(2)]
        for bar in self.bars:
            bar.pack(side='left')
        self.text = tk.Text(self.page_window, font=('DejaVu Sans', 12), wrap='word', borderwidth=0,
                            background='white', foreground='#202020')
        self.text.insert('1.0', text_lines(3000, 2))
        self.text.configure(state='disabled')
        self.text.pack(fill='both', expand=True)
        self.show_marker()
        self.drag_window = self.window(DRAG, 'bench-drag')
        small = ImageTk.PhotoImage(photo(DRAG[2], DRAG[3] - 60, 3))
        self.images.append(small)
        tk.Label(self.drag_window, text='Drag me: a small window with a picture', font=('DejaVu Sans', 14),
                 background='#e8e8e8').pack(fill='x', ipady=16)
        tk.Label(self.drag_window, image=small, borderwidth=0).pack()
        self.video_window = self.window((0, 0, SCREEN_W, SCREEN_H), 'bench-video')
        self.video_label = tk.Label(self.video_window, borderwidth=0)
        self.video_label.pack()
        self.video_frames = self.make_video_frames()
        self.video_window.withdraw()
        root.update()
        emit('ready')
        root.createfilehandler(sys.stdin, tk.READABLE, self.command)

    def window(self, rect, title):
        window = tk.Toplevel(self.root)
        window.title(title)
        window.overrideredirect(True)
        window.geometry('%dx%d+%d+%d' % (rect[2], rect[3], rect[0], rect[1]))
        return window

    def make_video_frames(self):
        # Two big photos cross-faded and shifted: every frame differs from the last all over.
        a = photo(SCREEN_W + 64, SCREEN_H, 4)
        b = photo(SCREEN_W + 64, SCREEN_H, 5)
        frames = []
        for i in range(VIDEO_FRAMES):
            alpha = 0.5 - 0.5 * abs(i - VIDEO_FRAMES / 2) / (VIDEO_FRAMES / 2)
            shift = i * 64 // VIDEO_FRAMES
            frame = Image.blend(a.crop((shift, 0, shift + SCREEN_W, SCREEN_H)),
                                b.crop((64 - shift, 0, 64 - shift + SCREEN_W, SCREEN_H)), alpha)
            frames.append(ImageTk.PhotoImage(frame))
        return frames

    def show_marker(self):
        self.bars[0].configure(background=hue(self.step % 12))
        self.bars[1].configure(background=hue(self.step // 12 % 12))

    def command(self, stream, mask):
        line = stream.readline()
        words = line.split()
        if not line or words == ['quit']:
            self.root.destroy()
        elif words == ['scroll']:
            self.step += 1
            top, bottom = self.text.yview()
            if (self.direction > 0 and bottom >= 1.0) or (self.direction < 0 and top <= 0.0):
                self.direction = -self.direction
            self.text.yview_scroll(3 * self.direction, 'units')
            self.show_marker()
            self.root.update_idletasks()
            emit('scroll', step=self.step)
        elif words == ['video', 'on'] and not self.video_on:
            self.video_on, self.video_shown, self.video_started = True, 0, time.time()
            self.video_window.deiconify()
            self.video_window.lift()
            self.next_video_frame()
        elif words == ['video', 'off'] and self.video_on:
            self.video_on = False
            self.video_window.withdraw()
            self.root.update_idletasks()
            emit('video', frames=self.video_shown, seconds=round(time.time() - self.video_started, 2))

    def next_video_frame(self):
        if not self.video_on:
            return
        started = time.time()
        self.video_index = (self.video_index + 1) % len(self.video_frames)
        self.video_label.configure(image=self.video_frames[self.video_index])
        self.root.update_idletasks()
        self.video_shown += 1
        spent = int((time.time() - started) * 1000)
        self.root.after(max(1, VIDEO_PERIOD_MS - spent), self.next_video_frame)


def main():
    root = tk.Tk()
    root.withdraw()
    Desktop(root)
    root.mainloop()


if __name__ == '__main__':
    main()
